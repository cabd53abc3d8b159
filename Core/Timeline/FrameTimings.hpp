#pragma once

#include <cstdint>
#include <optional>

namespace korvel {

// How long the frames of a render took against the budget of one frame.
struct FrameTimings {
    double frameMilliseconds = 0;
    int64_t frames = 0;
    double slowestMilliseconds = 0;
    int64_t late = 0;
    double totalMilliseconds = 0;

    FrameTimings() = default;
    explicit FrameTimings(double frameMilliseconds) : frameMilliseconds(frameMilliseconds) {}

    void note(double milliseconds);
    // Counts of another record; the budget stays this one's.
    void add(const FrameTimings& other);
    double meanMilliseconds() const;

    bool operator==(const FrameTimings&) const = default;
};

// The timings of one run that is drawn in several parts, reported only when
// they changed.
struct FramesOfARun {
    std::optional<FrameTimings> before;
    std::optional<FrameTimings> told;

    std::optional<FrameTimings> note(const FrameTimings& timings, bool leaving);
};

} // namespace korvel
