#include "Core/Timeline/TimedInsert.hpp"

#include "Core/Timeline/WideMath.hpp"
#include "Core/Time.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

std::optional<TimedInsert> TimedInsert::make(const FrameGrid& grid, int32_t t, int64_t endTicks, int32_t endTimescale,
                                             int64_t s, int64_t e, int64_t f, int64_t n, bool unscaled) {
    int64_t tpf = grid.ticksPerFrame;
    int64_t sourceEnd = Microseconds::mulDiv(endTicks, t, endTimescale);
    int64_t end = std::min(sourceEnd, e);
    int64_t start = std::min(end - 1, s);
    int64_t sourceDuration = end - start;
    int64_t outStart = WideMath::narrow(WideMath::mul(f, tpf));
    int64_t outDuration = WideMath::narrow(WideMath::mul(n, tpf));
    int32_t gridScale = grid.timescale;
    if (unscaled) {
        double sourceSeconds = static_cast<double>(sourceDuration) / t;
        double outSeconds = static_cast<double>(outDuration) / gridScale;
        double frameSeconds = static_cast<double>(tpf) / gridScale;
        if (std::abs(sourceSeconds - outSeconds) / frameSeconds < 1.0) {
            if (sourceSeconds > outSeconds) {
                sourceDuration = Microseconds::mulDiv(outDuration, t, gridScale);
            } else {
                outDuration = Microseconds::mulDiv(sourceDuration, gridScale, t);
            }
        }
    }
    if (outDuration <= 0) return std::nullopt;
    return TimedInsert{outStart, outDuration, start, sourceDuration};
}

std::optional<int64_t> TimedInsert::sourceTicks(int64_t outTicks) const {
    if (outDuration <= 0 || outTicks < outStart || outTicks - outStart >= outDuration) return std::nullopt;
    WideMath::Wide into = WideMath::mul(outTicks - outStart, sourceDuration) / outDuration;
    return WideMath::narrow(WideMath::add(sourceStart, into));
}

} // namespace korvel
