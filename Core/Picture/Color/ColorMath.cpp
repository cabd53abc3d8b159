#include "Core/Picture/Color/ColorMath.hpp"

#include <algorithm>
#include <cmath>

namespace korvel::ColorMath {

namespace {
constexpr float referenceWhite = 203.0f;
constexpr float hlgPeak = 1000.0f;
constexpr float hlgGamma = 1.2f;

float hlgOETF(float e) {
    return e <= 1.0f / 12.0f ? std::sqrt(3.0f * e) : hlgA * std::log(12.0f * e - hlgB) + hlgC;
}
float hlgInverseOETF(float v) {
    return v <= 0.5f ? v * v / 3.0f : (std::exp((v - hlgC) / hlgA) + hlgB) / 12.0f;
}
} // namespace

float encode709(float l) {
    if (l < 0) return -encode709(-l);
    return l < beta709 ? 4.5f * l : alpha709 * std::pow(l, 0.45f) - (alpha709 - 1);
}

float decode709(float v) {
    if (v < 0) return -decode709(-v);
    return v < beta709 * 4.5f ? v / 4.5f : std::pow((v + (alpha709 - 1)) / alpha709, 1.0f / 0.45f);
}

float decodeSRGB(float v) {
    if (v < 0) return -decodeSRGB(-v);
    return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
}

float encodeHLG(float l) {
    if (l < 0) return -encodeHLG(-l);
    // Display light relative to the peak, back through the system gamma to
    // scene light, then the camera curve.
    float display = l * referenceWhite / hlgPeak;
    float scene = std::pow(display, 1.0f / hlgGamma);
    return hlgOETF(scene);
}

float decodeHLG(float v) {
    if (v < 0) return -decodeHLG(-v);
    float scene = hlgInverseOETF(v);
    return std::pow(scene, hlgGamma) * hlgPeak / referenceWhite;
}

namespace {
constexpr double m1 = 2610.0 / 16384.0;
constexpr double m2 = 2523.0 / 4096.0 * 128.0;
constexpr double c1 = 3424.0 / 4096.0;
constexpr double c2 = 2413.0 / 4096.0 * 32.0;
constexpr double c3 = 2392.0 / 4096.0 * 32.0;
} // namespace

double pqEncode(double nits) {
    double y = std::clamp(nits / 10000.0, 0.0, 1.0);
    double p = std::pow(y, m1);
    return std::pow((c1 + c2 * p) / (1 + c3 * p), m2);
}

double pqDecode(double signal) {
    double e = std::pow(std::clamp(signal, 0.0, 1.0), 1.0 / m2);
    double y = std::pow(std::max(e - c1, 0.0) / (c2 - c3 * e), 1.0 / m1);
    return y * 10000.0;
}

double eetf(double nits, double sourcePeak, double targetPeak) {
    if (!(nits > 0)) return 0;
    if (targetPeak >= sourcePeak) return nits;
    double sourceTop = pqEncode(sourcePeak);
    double e1 = pqEncode(nits) / sourceTop;
    double maxLum = pqEncode(targetPeak) / sourceTop;
    double ks = 1.5 * maxLum - 0.5;
    double e2 = e1;
    if (e1 > ks && e1 <= 1) {
        double t = (e1 - ks) / (1 - ks);
        double t2 = t * t, t3 = t2 * t;
        e2 = (2 * t3 - 3 * t2 + 1) * ks + (t3 - 2 * t2 + t) * (1 - ks) + (-2 * t3 + 3 * t2) * maxLum;
    } else if (e1 > 1) {
        e2 = maxLum;
    }
    return pqDecode(e2 * sourceTop);
}

const Matrix3 bt709ToBt2020{0.6274040f, 0.3292820f, 0.0433136f, 0.0690970f, 0.9195400f,
                            0.0113612f, 0.0163916f, 0.0880132f, 0.8955950f};
const Matrix3 bt2020ToBt709{1.6604910f, -0.5876411f, -0.0728499f, -0.1245505f, 1.1328999f,
                            -0.0083494f, -0.0181508f, -0.1005789f, 1.1187297f};

Curve::Curve(ColorSpace space)
    : space_(space), encodeTable_(static_cast<size_t>(steps * encodeTop) + 1),
      decodeTable_(static_cast<size_t>(steps * decodeTop) + 1) {
    // Encoding is steep near black: its table is spaced by the square root.
    for (size_t i = 0; i < encodeTable_.size(); ++i) {
        float root = static_cast<float>(i) / steps;
        float l = root * root;
        encodeTable_[i] = space == ColorSpace::itur709 ? encode709(l) : encodeHLG(l);
    }
    for (size_t i = 0; i < decodeTable_.size(); ++i) {
        float v = static_cast<float>(i) / steps;
        decodeTable_[i] = space == ColorSpace::itur709 ? decode709(v) : decodeHLG(v);
    }
}

float Curve::exactEncode(float l) const {
    if (l != l) return 0.0f;
    return space_ == ColorSpace::itur709 ? encode709(l) : encodeHLG(l);
}

float Curve::exactDecode(float v) const {
    if (v != v) return 0.0f;
    return space_ == ColorSpace::itur709 ? decode709(v) : decodeHLG(v);
}

const Curve& curve(ColorSpace space) {
    static const Curve sdr(ColorSpace::itur709);
    static const Curve hlg(ColorSpace::itur2100HLG);
    return space == ColorSpace::itur709 ? sdr : hlg;
}

} // namespace korvel::ColorMath
