#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// The hot loops of the sound analysis and synthesis as vector code, compiled
// for several instruction sets and chosen for the processor at run time.
// Each has its scalar reference beside it and gives the very same numbers on
// every instruction set: no fused multiply-adds, every lane alone, and where
// lanes are combined they are combined in groups of a fixed size.
namespace AudioKernels {

// Two biquad sections (b0, b1, b2, a1, a2 each) in transposed direct form
// over four channels side by side, `count` frames of each. state[4 k + l] is
// lane l's k-th state (s11, s12, s21, s22), carried from call to call;
// power[l] is the sum of the squared outputs of lane l's first valid[l] frames.
void biquadPower(const float* const input[4], int count, const int valid[4], const double sections[10],
                 double state[16], double power[4]);
void biquadPowerReference(const float* const input[4], int count, const int valid[4], const double sections[10],
                          double state[16], double power[4]);

// scores[m] = Σ_j sequence[m + j] × reference[j] for m < count, j < terms;
// each score sums its terms in order.
void correlate(const float* sequence, const float* reference, int terms, float* scores, int count);
void correlateReference(const float* sequence, const float* reference, int terms, float* scores, int count);

// Taps of the three interpolating phases, each reading 32 samples.
using PhaseTaps = float[3][32];

// Output i < count (a multiple of 16) reads padded[i] ... padded[i + 31]: the
// largest of |padded[i + 15]| and the three phases' |Σ_k padded[i + k] ×
// taps[f][k]|. Raised: the larger of that and out[i]. Largest is a > b ? a : b.
void envelope(const float* padded, size_t count, const PhaseTaps& taps, float* out, bool raised);
void envelopeReference(const float* padded, size_t count, const PhaseTaps& taps, float* out, bool raised);

// The largest of those outputs: eight running maxima of outputs 16 r + l and
// 16 r + l + 8, then the eight in order from 0.
float envelopePeak(const float* padded, size_t count, const PhaseTaps& taps);
float envelopePeakReference(const float* padded, size_t count, const PhaseTaps& taps);

// The largest |x[i]|: eight running maxima of i mod 8 over whole eights, the
// eight in order from 0, then the rest one by one.
float largestMagnitude(const float* x, size_t count);
float largestMagnitudeReference(const float* x, size_t count);

// out[n] += Σ_h weight[h] × sin(2π × hz × (h + 1) × n / 48 000) × envelope[n] × level.
// Phases come from a rotation by four frames re-anchored to the exact phase
// every 256 frames, and the harmonics from the fundamental by the Chebyshev
// recurrence.
void addVoice(float* out, int64_t count, double hz, const double* weight, int harmonics, const float* envelope,
              float level);
void addVoiceReference(float* out, int64_t count, double hz, const double* weight, int harmonics,
                       const float* envelope, float level);

} // namespace AudioKernels
} // namespace korvel
