#pragma once

// Vector types for the hot DSP loops. They are plain GCC/Clang vector
// extensions, so the same source builds for any target; on x86-64 the hot
// functions are also cloned for AVX2 and picked at load time. FMA is never
// enabled: every lane rounds the same way on every machine.

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define KORVEL_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KORVEL_VECTOR_CLONES
#endif

// The helpers below are always inlined, so the calling convention of vector
// arguments never matters.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace korvel::simd {

typedef double v4d __attribute__((vector_size(32)));
typedef float v8f __attribute__((vector_size(32)));
typedef int v8i __attribute__((vector_size(32)));

[[gnu::always_inline]] inline v4d splat4(double x) { return v4d{x, x, x, x}; }
[[gnu::always_inline]] inline v8f splat8(float x) { return v8f{x, x, x, x, x, x, x, x}; }

[[gnu::always_inline]] inline v8f load8(const float* p) {
    v8f v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store8(float* p, v8f v) { __builtin_memcpy(p, &v, sizeof v); }

[[gnu::always_inline]] inline v8f abs8(v8f v) {
    v8i bits;
    __builtin_memcpy(&bits, &v, sizeof v);
    bits &= 0x7fffffff;
    __builtin_memcpy(&v, &bits, sizeof v);
    return v;
}

[[gnu::always_inline]] inline v8f max8(v8f a, v8f b) { return a > b ? a : b; }

} // namespace korvel::simd
