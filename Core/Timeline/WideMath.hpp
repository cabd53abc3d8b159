#pragma once

#include "Core/Time.hpp"

#include <cstdint>

namespace korvel::WideMath {

// Exact 128-bit steps for products of ticks, rates and frame counts; any
// step that leaves 128 bits, or a result that leaves 64, is refused.
using Wide = __int128;

inline Wide mul(Wide a, Wide b) {
    Wide r;
    if (__builtin_mul_overflow(a, b, &r)) throw TimeOverflow();
    return r;
}

inline Wide add(Wide a, Wide b) {
    Wide r;
    if (__builtin_add_overflow(a, b, &r)) throw TimeOverflow();
    return r;
}

inline int64_t narrow(Wide v) {
    if (v > INT64_MAX || v < INT64_MIN) throw TimeOverflow();
    return static_cast<int64_t>(v);
}

// a + b in 64 bits, refused on overflow.
inline int64_t sum(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) throw TimeOverflow();
    return r;
}

} // namespace korvel::WideMath
