#pragma once

#include "Core/Picture/Color/ColorRecipe.hpp"

#include <array>
#include <vector>

namespace korvel::ColorMath {

// The curves' constants, shared by the scalar code and the vector kernels:
// BT.709's exact ones (1.099 and 0.018 rounded), so that a round trip
// through the video converter is lossless, and HLG's.
inline constexpr float alpha709 = 1.09929682680944f;
inline constexpr float beta709 = 0.018053968510807f;
inline constexpr float hlgA = 0.17883277f;
inline constexpr float hlgB = 0.28466892f; // 1 - 4a
inline constexpr float hlgC = 0.55991073f; // 0.5 - a ln(4a)

// BT.709 camera curve, extended: odd around 0 and continued above 1, so
// values of the extended working space survive a round trip.
float encode709(float linear);
float decode709(float encoded);

// The sRGB curve still pictures are stored in, to linear light.
float decodeSRGB(float encoded);

// HLG for a 1000 cd/m2 display with the working space's 1.0 at the
// reference white of 203 cd/m2; applied per channel.
float encodeHLG(float linear);
float decodeHLG(float encoded);

// SMPTE ST 2084 on absolute cd/m2.
double pqEncode(double nits);
double pqDecode(double signal);

// The BT.2390 EETF on cd/m2: maps a source range up to sourcePeak onto a
// display whose peak is targetPeak; identity below the knee.
double eetf(double nits, double sourcePeak, double targetPeak);

using Matrix3 = std::array<float, 9>;
extern const Matrix3 bt709ToBt2020;
extern const Matrix3 bt2020ToBt709;

// Rec. 709 luma weights, the ones the colour filters use.
inline float luma(float r, float g, float b) { return 0.2126f * r + 0.7152f * g + 0.0722f * b; }

// Fast table versions of a space's curve for the per-pixel passes; exact
// formulas outside [0, 1].
class Curve {
public:
    explicit Curve(ColorSpace space);
    float encode(float linear) const {
        float m = linear < 0 ? -linear : linear;
        float at = __builtin_sqrtf(m) * steps;
        if (!(at < encodeTop * steps)) return exactEncode(linear);
        float v = lookUp(encodeTable_.data(), at);
        return linear < 0 ? -v : v;
    }
    float decode(float encoded) const {
        float m = encoded < 0 ? -encoded : encoded;
        float at = m * steps;
        if (!(at < decodeTop * steps)) return exactDecode(encoded);
        float l = lookUp(decodeTable_.data(), at);
        return encoded < 0 ? -l : l;
    }
    ColorSpace space() const { return space_; }
    bool widensGamut() const { return space_ == ColorSpace::itur2100HLG; }

private:
    static float lookUp(const float* table, float at) {
        int i = static_cast<int>(at);
        float f = at - static_cast<float>(i);
        return table[i] + (table[i + 1] - table[i]) * f;
    }
    float exactEncode(float linear) const;
    float exactDecode(float encoded) const;

    static constexpr int steps = 4096;      // per unit of the table's axis
    static constexpr float encodeTop = 4;   // square root of the largest linear value in the table
    static constexpr float decodeTop = 2;   // largest encoded value in the table
    ColorSpace space_;
    std::vector<float> encodeTable_;
    std::vector<float> decodeTable_;
};

// The curve of a space, built once per process.
const Curve& curve(ColorSpace space);

// NaN and infinities become 0: every filter output passes through this.
inline float sane(float v) { return v - v == 0.0f ? v : 0.0f; }

} // namespace korvel::ColorMath
