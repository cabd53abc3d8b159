#include "Core/Timeline/PTSTable.hpp"

#include "Core/Time.hpp"

#include <array>
#include <cmath>
#include <numeric>

namespace korvel {

int64_t PTSTable::firstPtsUs() const { return pts.empty() ? 0 : us(pts[0]); }

int64_t PTSTable::us(int64_t t) const {
    return Microseconds::roundedToInt64(static_cast<double>(t) * 1000000.0 / static_cast<double>(timescale));
}

int64_t PTSTable::ticks(int64_t u) const {
    return Microseconds::roundedToInt64(static_cast<double>(u) * static_cast<double>(timescale) / 1000000.0);
}

int64_t PTSTable::nearestIndex(int64_t t) const {
    int64_t n = count();
    if (n < 2) return 0;
    int64_t lo = 0, hi = n - 1;
    while (lo < hi) {
        int64_t mid = (lo + hi) / 2;
        if (pts[mid] < t) lo = mid + 1;
        else hi = mid;
    }
    if (lo == 0) return 0;
    // Differences in 128 bits: a far-away time must not wrap around.
    __int128 before = static_cast<__int128>(t) - pts[lo - 1];
    __int128 after = static_cast<__int128>(pts[lo]) - t;
    return after < before ? lo : lo - 1;
}

int64_t PTSTable::indexOnScreen(int64_t t) const {
    int64_t n = count();
    if (n < 2) return 0;
    int64_t lo = 0, hi = n - 1;
    while (lo < hi) {
        int64_t mid = (lo + hi + 1) / 2;
        if (t < pts[mid]) hi = mid - 1;
        else lo = mid;
    }
    return lo;
}

int64_t PTSTable::middleOfFrameTicks() const {
    if (pts.empty()) return 0;
    if (pts.size() == 1) return static_cast<int64_t>((static_cast<__int128>(endTicks) - pts[0]) / 2);
    __int128 span = static_cast<__int128>(pts.back()) - pts.front();
    return static_cast<int64_t>(span / (count() - 1) / 2);
}

std::optional<FrameRate> PTSTable::measuredFrameRate() const {
    if (pts.size() < 2 || pts.back() <= pts.front()) return std::nullopt;
    __int128 span = static_cast<__int128>(pts.back()) - pts.front();
    double measured = static_cast<double>(timescale) * static_cast<double>(count() - 1) / static_cast<double>(span);
    static constexpr std::array<FrameRate, 11> candidates{{
        {24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1}, {48, 1},
        {50, 1}, {60000, 1001}, {60, 1}, {120, 1}, {240, 1},
    }};
    const FrameRate* best = nullptr;
    double bestError = 0;
    for (const auto& c : candidates) {
        double rate = static_cast<double>(c.num) / static_cast<double>(c.den);
        double error = std::fabs(rate - measured) / measured;
        if (!best || error < bestError) {
            best = &c;
            bestError = error;
        }
    }
    if (bestError < 0.005) return *best;
    __int128 frames = static_cast<__int128>(count() - 1) * timescale;
    __int128 a = frames, b = span;
    while (b != 0) {
        __int128 r = a % b;
        a = b;
        b = r;
    }
    __int128 num = frames / a, den = span / a;
    if (num > INT64_MAX || den > INT64_MAX) return std::nullopt;
    return FrameRate{static_cast<int64_t>(num), static_cast<int64_t>(den)};
}

} // namespace korvel
