#include "Core/Analysis/BrightNeutrals.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

namespace {
constexpr size_t cellValues = 4;
constexpr double wantedShare = 0.1;
} // namespace

void BrightNeutrals::count(int tint, int luma, double r, double g, double b) {
    if (bins.empty()) bins.assign(size_t{tintRows} * lumaColumns * cellValues, 0.0);
    size_t cell = (size_t(tint) * lumaColumns + size_t(luma - lowestLuma)) * cellValues;
    bins[cell] += 1;
    bins[cell + 1] += r;
    bins[cell + 2] += g;
    bins[cell + 3] += b;
}

void BrightNeutrals::add(double r, double g, double b) {
    double luma = std::round(0.2126 * r + 0.7152 * g + 0.0722 * b);
    if (!(luma >= lowestLuma && luma <= highestLuma)) return;
    double hi = std::max({r, g, b}), lo = std::min({r, g, b});
    if (!(hi <= 1.6 * lo) || !(lo > 0)) return;
    double tint = std::ceil((hi / lo - 1.4) / 0.005);
    count(static_cast<int>(std::clamp(tint, 0.0, double(tintRows - 1))), static_cast<int>(luma), r, g, b);
}

void BrightNeutrals::add(uint8_t r, uint8_t g, uint8_t b) {
    // Luma ×10000 rounded half up (all terms are non-negative).
    int luma = (2126 * r + 7152 * g + 722 * b + 5000) / 10000;
    if (luma < lowestLuma || luma > highestLuma) return;
    int hi = std::max({r, g, b}), lo = std::min({r, g, b});
    if (lo == 0 || 5 * hi > 8 * lo) return;
    // ⌈(hi/lo − 1.4) / 0.005⌉ = ⌈(200·hi − 280·lo) / lo⌉.
    int numerator = 200 * hi - 280 * lo;
    int tint = numerator <= 0 ? 0 : (numerator + lo - 1) / lo;
    count(std::min(tint, tintRows - 1), luma, r, g, b);
}

std::optional<BrightNeutrals::Color> BrightNeutrals::whites(const std::vector<double>& row, int limit) {
    int lo = static_cast<int>(std::round(lowestLuma + 8.0 * limit / 40));
    int hi = static_cast<int>(std::round(246 + 8.0 * limit / 40));
    auto at = [&](int luma, size_t k) { return row[size_t(luma - lowestLuma) * cellValues + k]; };
    double n = 0;
    for (int luma = lo; luma < hi; ++luma) n += at(luma, 0);
    if (n <= 0) return std::nullopt;
    double wanted = wantedShare * n, weight = 0, r = 0, g = 0, b = 0;
    for (int luma = hi - 1; luma >= lo && wanted > 0; --luma) {
        double k = at(luma, 0);
        if (k <= 0) continue;
        double f = std::min(wanted / k, 1.0);
        wanted -= k * f;
        weight += k * f;
        r += f * at(luma, 1);
        g += f * at(luma, 2);
        b += f * at(luma, 3);
    }
    if (!(weight > 0)) return std::nullopt;
    return Color{r / (weight * 255), g / (weight * 255), b / (weight * 255)};
}

std::optional<BrightNeutrals::Color> BrightNeutrals::reading() const {
    if (bins.empty()) return std::nullopt;
    const size_t rowSize = size_t{lumaColumns} * cellValues;
    std::vector<double> running(rowSize, 0.0);
    double r = 0, g = 0, b = 0;
    int found = 0;
    for (int limit = 0; limit < tintRows; ++limit) {
        const double* row = &bins[size_t(limit) * rowSize];
        for (size_t k = 0; k < rowSize; ++k) running[k] += row[k];
        if (auto c = whites(running, limit)) {
            r += c->r;
            g += c->g;
            b += c->b;
            ++found;
        }
    }
    if (found == 0) return std::nullopt;
    return Color{r / found, g / found, b / found};
}

} // namespace korvel
