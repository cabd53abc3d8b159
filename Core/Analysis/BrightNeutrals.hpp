#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace korvel {

// The colour of the brightest near-neutral surfaces of a take: what a white
// object looks like in the footage. Fed one pixel at a time.
class BrightNeutrals {
public:
    struct Color {
        double r = 0, g = 0, b = 0;
        bool operator==(const Color&) const = default;
    };

    static constexpr int tintRows = 41;
    static constexpr int lowestLuma = 86;
    static constexpr int highestLuma = 253;
    static constexpr int lumaColumns = highestLuma - lowestLuma + 1;

    BrightNeutrals() = default;

    // Channels in 0..255.
    void add(double r, double g, double b);
    // The same for 8-bit pixels, in exact integers so that no ratio lands on
    // the wrong side of a row boundary.
    void add(uint8_t r, uint8_t g, uint8_t b);

    std::optional<Color> reading() const;

private:
    void count(int tint, int luma, double r, double g, double b);
    static std::optional<Color> whites(const std::vector<double>& row, int limit);

    std::vector<double> bins;
};

} // namespace korvel
