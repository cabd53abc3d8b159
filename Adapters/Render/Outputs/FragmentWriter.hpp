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

    void take(std::span<const VideoEncoder::Packet> packets) override;
    [[noreturn]] void refuse(std::exception_ptr failure) override;

    // The packets taken, after the encoder's tail. Throws -32003 "The preview
    // encoder gave nothing." when there are none.
    std::vector<uint8_t> fragment(const VideoEncoder& encoder) const;

private:
    std::vector<VideoEncoder::Packet> packets_;
};

} // namespace korvel
