#pragma once

#include "Adapters/Render/Outputs/VideoEncoder.hpp"

#include <exception>
#include <span>

namespace korvel {

// What an encoded picture stream is written into: the movie writer for
// exports, the fragment writer for previews.
class PacketSink {
public:
    virtual ~PacketSink() = default;
    // The packets of one picture in decode order, possibly none, or the
    // encoder's tail. A writer that can't take more says so even for none.
    virtual void take(std::span<const VideoEncoder::Packet> packets) = 0;
    // An encoder failure again, in the words of what is being written.
    [[noreturn]] virtual void refuse(std::exception_ptr failure) = 0;
};

} // namespace korvel
