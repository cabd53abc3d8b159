#pragma once

#include <cstdint>
#include <stdexcept>

namespace korvel {

// Thrown when an exact integer conversion does not fit 64 bits.
struct TimeOverflow : std::overflow_error {
    TimeOverflow() : std::overflow_error("time value out of range") {}
};

// The one place that converts microseconds. "round" rounds halves away from
// zero in double precision; "whole" truncates toward zero in exact integers.
namespace Microseconds {
inline constexpr int64_t perSecond = 1'000'000;

int64_t of(double seconds);
int64_t wholeOfSeconds(double seconds);
int64_t frames(int64_t us, int64_t rate);
int64_t wholeFrames(int64_t us, int64_t rate);
double framePosition(int64_t us, int64_t rate);
int64_t ofFrames(int64_t frames, int64_t rate);
int64_t wholeOfFrames(int64_t frames, int64_t rate);
int64_t ticks(int64_t us, int32_t timescale);
int64_t wholeTicks(int64_t us, int32_t timescale);
int64_t ofTicks(int64_t ticks, int32_t timescale);

// round() of a double into int64, throwing TimeOverflow when it cannot fit.
int64_t roundedToInt64(double value);
// a × b ÷ c truncated toward zero, exact in 128 bits.
int64_t mulDiv(int64_t a, int64_t b, int64_t c);
} // namespace Microseconds

} // namespace korvel
