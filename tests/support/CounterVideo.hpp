#pragma once

// Counter videos: every frame shows its own index, painted as two grey
// levels (the centre 8 × (N mod 32), the border 8 × (N / 32)), so the index
// survives YUV, scaling, rotation and a near-lossless encoder. Made with the
// ffmpeg tool at test time and read back with it.

#include "tests/support/Shell.hpp"

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

namespace korvel::testing::CounterVideo {

// The filter chain that paints the counter over a grey picture.
inline std::string paint() {
    return "format=gray,geq=lum='if(between(X\\,W/4\\,3*W/4-1)*between(Y\\,H/4\\,3*H/4-1)\\,"
           "8*mod(N\\,32)\\,8*floor(N/32))'";
}

// A counter movie from `source` (an lavfi source such as
// "color=black:s=64x64:r=30:d=4"), filtered by `extraFilter` after the
// paint and written with `encode` (codec options). Lossless H.264 unless told.
inline bool make(const std::filesystem::path& out, const std::string& source,
                 const std::string& encode = "-c:v libx264 -qp 0 -pix_fmt yuv420p", const std::string& extraFilter = "") {
    std::string filter = source + "," + paint() + (extraFilter.empty() ? "" : "," + extraFilter);
    return runCommand("ffmpeg -nostdin -v error -y -f lavfi -i \"" + filter + "\" " + encode + " '" + out.string() +
                      "' 2>&1")
        .has_value();
}

// The index each picture of a movie or image shows, in presentation order;
// -1 for a picture whose levels name no index. `width` × `height` is the
// picture's size.
inline std::vector<int> shown(const std::filesystem::path& file, int width, int height) {
    auto raw = runCommand("ffmpeg -nostdin -v error -i '" + file.string() +
                          "' -map 0:v -fps_mode passthrough -f rawvideo -pix_fmt gray -");
    std::vector<int> out;
    if (!raw || width <= 0 || height <= 0) return out;
    size_t size = static_cast<size_t>(width) * static_cast<size_t>(height);
    auto level = [&](size_t frame, int x, int y) {
        // A 3 × 3 mean keeps a coded picture's ringing out of the reading.
        double total = 0;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                total += static_cast<unsigned char>((*raw)[frame * size + static_cast<size_t>((y + dy) * width + x + dx)]);
        return total / 9 / 8;
    };
    for (size_t f = 0; (f + 1) * size <= raw->size(); ++f) {
        double low = level(f, width / 2, height / 2), high = level(f, std::max(1, width / 10), std::max(1, height / 10));
        bool clean = std::fabs(low - std::round(low)) < 0.3 && std::fabs(high - std::round(high)) < 0.3;
        out.push_back(clean ? static_cast<int>(std::lround(low) + 32 * std::lround(high)) : -1);
    }
    return out;
}

} // namespace korvel::testing::CounterVideo
