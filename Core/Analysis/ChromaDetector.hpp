#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace korvel {

// Whether a video was shot before a green (or similar single-hue) screen:
// the picture's border must be one saturated hue in the green range, and flat.
// Fed a few tightly packed RGBA frames.
class ChromaDetector {
public:
    ChromaDetector() = default;

    void add(std::span<const uint8_t> rgba, int64_t width, int64_t height);
    bool isGreenScreen() const;

private:
    static float texture(std::span<const uint8_t> rgba, int64_t width, int64_t bandY);

    std::vector<float> hues;
    std::vector<float> saturations;
    float worstTexture = 0;
};

} // namespace korvel
