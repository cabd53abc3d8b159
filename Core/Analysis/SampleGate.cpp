#include "Core/Analysis/SampleGate.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

bool SampleGate::shouldTake(int64_t atUs) {
    if (atUs < nextUs) return false;
    int64_t interval = std::max<int64_t>(intervalUs, 1);
    // Unsigned: the gap between two file times may not fit a signed value.
    uint64_t gap = uint64_t(atUs) - uint64_t(nextUs);
    int64_t ahead = interval - static_cast<int64_t>(gap % uint64_t(interval));
    nextUs = atUs > INT64_MAX - ahead ? INT64_MAX : atUs + ahead;
    return true;
}

FrameSize frameSize(double naturalWidth, double naturalHeight, int64_t longEdge) {
    double w = std::isfinite(naturalWidth) ? std::max(naturalWidth, 0.0) : 0;
    double h = std::isfinite(naturalHeight) ? std::max(naturalHeight, 0.0) : 0;
    double edge = std::max(w, h);
    double scale = edge > 0 ? std::min(double(longEdge) / edge, 1.0) : 1;
    auto side = [&](double v) {
        double half = std::round(v * scale * 0.5);
        return std::clamp<int64_t>(static_cast<int64_t>(std::min(half, 1e9)) * 2, 2, INT64_C(2'000'000'000));
    };
    return {side(w), side(h)};
}

} // namespace korvel
