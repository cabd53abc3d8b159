#pragma once

#include "Core/Wire/ExportMethodTypes.hpp"
#include "Core/Timeline/FrameGrid.hpp"
#include "Core/Picture/RenderSize.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace korvel {

// The settings of one encoded video stream.
struct VideoEncoding {
    enum class Codec { h264, hevc };

    Codec codec = Codec::h264;
    std::string profile;                           // "high", "main" or "main10"
    int64_t bitrate = 0;                           // average, bits per second
    std::optional<double> keyframeIntervalSeconds; // absent: the encoder chooses
    bool allowsReordering = false;                 // B-frames
    RenderSize size;
    FrameGrid grid;
    DynamicRange dynamicRange = DynamicRange::sdr; // tags the stream
    std::string preset = "medium";
    // Previews hold the rate with a buffer of twice the bit rate.
    bool constrained = false;

    // The whole-number frame rate the encoder is told to expect.
    int64_t expectedFrameRate() const;
    bool tenBit() const { return profile == "main10"; }

    bool operator==(const VideoEncoding&) const = default;
};

} // namespace korvel
