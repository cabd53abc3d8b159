#pragma once

#include <cstdint>
#include <vector>

namespace korvel {

// An 8-bit picture, channels interleaved: grey, grey + alpha, RGB or RGBA.
struct Picture {
    int64_t width = 0;
    int64_t height = 0;
    int bands = 3;
    std::vector<uint8_t> pixels;

    // Turned upright for a picture orientation code (2 to 8; others as is).
    Picture oriented(int orientation) const;
};

} // namespace korvel
