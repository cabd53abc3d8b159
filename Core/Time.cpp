#include "Core/Time.hpp"

#include <cmath>

namespace korvel::Microseconds {

int64_t roundedToInt64(double value) {
    double r = std::round(value);
    if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) throw TimeOverflow();
    return static_cast<int64_t>(r);
}

int64_t mulDiv(int64_t a, int64_t b, int64_t c) {
    if (c == 0) throw TimeOverflow();
    __int128 q = static_cast<__int128>(a) * b / c;
    if (q > INT64_MAX || q < INT64_MIN) throw TimeOverflow();
    return static_cast<int64_t>(q);
}

int64_t of(double seconds) { return roundedToInt64(seconds * 1'000'000.0); }

int64_t wholeOfSeconds(double seconds) {
    double t = std::trunc(seconds * 1'000'000.0);
    if (!(t >= -9223372036854775808.0 && t < 9223372036854775808.0)) throw TimeOverflow();
    return static_cast<int64_t>(t);
}

int64_t frames(int64_t us, int64_t rate) {
    return roundedToInt64(static_cast<double>(us) * static_cast<double>(rate) / 1'000'000.0);
}

int64_t wholeFrames(int64_t us, int64_t rate) { return mulDiv(us, rate, perSecond); }

double framePosition(int64_t us, int64_t rate) {
    return static_cast<double>(us) * static_cast<double>(rate) / 1'000'000.0;
}

int64_t ofFrames(int64_t frames, int64_t rate) {
    return roundedToInt64(static_cast<double>(frames) * 1'000'000.0 / static_cast<double>(rate));
}

int64_t wholeOfFrames(int64_t frames, int64_t rate) { return mulDiv(frames, perSecond, rate); }

int64_t ticks(int64_t us, int32_t timescale) {
    return roundedToInt64(static_cast<double>(us) * static_cast<double>(timescale) / 1'000'000.0);
}

int64_t wholeTicks(int64_t us, int32_t timescale) { return mulDiv(us, timescale, perSecond); }

int64_t ofTicks(int64_t ticks, int32_t timescale) {
    return roundedToInt64(static_cast<double>(ticks) * 1'000'000.0 / static_cast<double>(timescale));
}

} // namespace korvel::Microseconds
