#pragma once

#include "Core/Wire/Contract.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace korvel {

enum class VideoFormat { vertical, square, horizontal };

template <> struct EnumNames<VideoFormat> {
    static constexpr std::string_view typeName = "VideoFormat";
    static constexpr std::array<std::string_view, 3> names{"vertical", "square", "horizontal"};
};

// num/den frames per second. Both are refused when not positive: every
// frame conversion downstream divides by them.
struct FrameRate {
    int64_t num = 0;
    int64_t den = 0;

    bool operator==(const FrameRate&) const = default;
    static FrameRate decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct Canvas {
    // Frame rates a canvas can have, in frames per second.
    static constexpr int64_t minFramesPerSecond = 1, maxFramesPerSecond = 240;

    VideoFormat format = VideoFormat::vertical;
    int64_t width = 0;
    int64_t height = 0;
    FrameRate fps;

    bool operator==(const Canvas&) const = default;
    static Canvas decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel

template <> struct std::hash<korvel::FrameRate> {
    std::size_t operator()(const korvel::FrameRate& rate) const noexcept {
        std::size_t seed = std::hash<int64_t>{}(rate.num);
        return seed ^ (std::hash<int64_t>{}(rate.den) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
    }
};
