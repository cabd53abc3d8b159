#include "Core/Timeline/FrameTimings.hpp"

#include <algorithm>

namespace korvel {

void FrameTimings::note(double ms) {
    frames += 1;
    totalMilliseconds += ms;
    slowestMilliseconds = std::max(slowestMilliseconds, ms);
    if (ms > frameMilliseconds) late += 1;
}

void FrameTimings::add(const FrameTimings& other) {
    frames += other.frames;
    late += other.late;
    totalMilliseconds += other.totalMilliseconds;
    slowestMilliseconds = std::max(slowestMilliseconds, other.slowestMilliseconds);
}

double FrameTimings::meanMilliseconds() const {
    return frames == 0 ? 0 : totalMilliseconds / static_cast<double>(frames);
}

std::optional<FrameTimings> FramesOfARun::note(const FrameTimings& timings, bool leaving) {
    FrameTimings total = timings;
    if (before) total.add(*before);
    if (leaving) before = total;
    if (total.frames < 1 || (told && *told == total)) return std::nullopt;
    told = total;
    return total;
}

} // namespace korvel
