#pragma once

#include "Adapters/Render/Outputs/PacketSink.hpp"
#include "Core/Picture/RenderSize.hpp"
#include "Core/Timeline/FrameGrid.hpp"

#include <cstdint>
#include <vector>

namespace korvel {

// A preview window's encoded pictures as one self-contained fragmented MP4
// in memory, laid out like the windows copied from sources.
class FragmentWriter : public PacketSink {
public:
    // Scaled by area from 16 Mbit/s at 1620 × 912, kept within 2 to 16 Mbit/s.
    static int64_t bitrate(RenderSize size);
    static VideoEncoding encoding(RenderSize size, const FrameGrid& grid);

    // Room for the pictures of a window, about `bytes` of them in `samples`
    // packets, taken at once: the file is built in place as packets come.
    void reserve(size_t bytes, size_t samples);
    void take(std::span<const VideoEncoder::Packet> packets) override;
    [[noreturn]] void refuse(std::exception_ptr failure) override;

    // The packets taken, after the encoder's tail; the writer is left empty.
    // Throws -32003 "The preview encoder gave nothing." when there are none.
    std::vector<uint8_t> fragment(const VideoEncoder& encoder);

private:
    struct Taken {
        uint32_t size = 0;
        int64_t reorder = 0; // pts - dts, in frames
        bool isSync = false;
    };
    std::vector<Taken> taken_;
    std::vector<uint8_t> file_; // room for the boxes, then the payload
    size_t room_ = 0;
};

} // namespace korvel
