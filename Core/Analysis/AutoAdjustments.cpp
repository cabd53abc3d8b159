#include "Core/Analysis/AutoAdjustments.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace korvel::AutoAdjustments {

namespace {

double percentile(const std::array<int64_t, 256>& histogram, int64_t n, double p) {
    int64_t running = 0;
    for (int b = 0; b < 256; ++b) {
        running += histogram[size_t(b)];
        if (double(running) >= p * double(n)) return b / 255.0;
    }
    return 1;
}

Input scalar(std::string key, double v) { return {std::move(key), {v}, false}; }

} // namespace

std::vector<Filter> propose(std::span<const uint8_t> bgra, int64_t width, int64_t height, int64_t bytesPerRow,
                            std::span<const NormalizedBox> faces) {
    std::vector<Filter> out;
    if (width <= 0 || height <= 0 || bytesPerRow < width * 4) return out;
    if (uint64_t(height - 1) * uint64_t(bytesPerRow) + uint64_t(width) * 4 > bgra.size()) return out;
    std::array<int64_t, 256> histogram{};
    double saturation = 0;
    for (int64_t y = 0; y < height; ++y) {
        const uint8_t* row = &bgra[size_t(y * bytesPerRow)];
        for (int64_t x = 0; x < width; ++x) {
            const uint8_t* p = row + x * 4;
            int luma = static_cast<int>(std::lround(0.2126 * p[2] + 0.7152 * p[1] + 0.0722 * p[0]));
            histogram[size_t(std::clamp(luma, 0, 255))] += 1;
            int hi = std::max({p[0], p[1], p[2]}), lo = std::min({p[0], p[1], p[2]});
            if (hi > 0) saturation += double(hi - lo) / hi;
        }
    }
    const int64_t n = width * height;
    saturation /= double(n);

    // Face balance first: it is applied first.
    if (!faces.empty()) {
        double iSum = 0, qSum = 0, count = 0;
        for (const NormalizedBox& raw : faces) {
            NormalizedBox f = raw.clamped();
            int64_t x0 = int64_t(f.x * double(width)), x1 = int64_t((f.x + f.w) * double(width));
            int64_t y0 = int64_t(f.y * double(height)), y1 = int64_t((f.y + f.h) * double(height));
            for (int64_t y = std::max<int64_t>(y0, 0); y < std::min(y1, height); ++y)
                for (int64_t x = std::max<int64_t>(x0, 0); x < std::min(x1, width); ++x) {
                    const uint8_t* p = &bgra[size_t(y * bytesPerRow + x * 4)];
                    double r = p[2] / 255.0, g = p[1] / 255.0, b = p[0] / 255.0;
                    iSum += 0.596 * r - 0.274 * g - 0.322 * b;
                    qSum += 0.211 * r - 0.523 * g + 0.312 * b;
                    count += 1;
                }
        }
        if (count > 0) {
            out.push_back({"CIFaceBalance",
                           {scalar("inputOrigI", iSum / count), scalar("inputOrigQ", qSum / count),
                            scalar("inputStrength", 0.5), scalar("inputWarmth", 0.5)}});
        }
    }

    if (saturation < flatSaturation) {
        out.push_back({"CIVibrance", {scalar("inputAmount", std::min(1.0, (flatSaturation - saturation) / flatSaturation))}});
    }

    const double lo = percentile(histogram, n, 0.01), hi = percentile(histogram, n, 0.99);
    if (hi - lo < spreadWanted) {
        // Stretch the used range over the whole scale; points stay ascending.
        const double span = std::max(hi - lo, 0.1);
        Filter curve{"CIToneCurve", {}};
        for (int k = 0; k < 5; ++k) {
            double x = k / 4.0;
            double y = std::clamp((x - lo) / span, 0.0, 1.0);
            curve.inputs.push_back({"inputPoint" + std::to_string(k), {x, y}, true});
        }
        out.push_back(std::move(curve));
    }

    int64_t dark = 0, bright = 0;
    for (int b = 0; b < 26; ++b) dark += histogram[size_t(b)];
    for (int b = 230; b < 256; ++b) bright += histogram[size_t(b)];
    const double darkShare = double(dark) / double(n), brightShare = double(bright) / double(n);
    if (darkShare > crushedShare || brightShare > crushedShare) {
        double shadow = darkShare > crushedShare ? std::min(1.0, darkShare) : 0.0;
        double highlight = brightShare > crushedShare ? 1.0 - std::min(0.5, brightShare / 2) : 1.0;
        out.push_back({"CIHighlightShadowAdjust", {scalar("inputHighlightAmount", highlight), scalar("inputShadowAmount", shadow)}});
    }
    return out;
}

} // namespace korvel::AutoAdjustments
