#pragma once

#include "Core/Audio/PCMAudio.hpp"
#include "Core/Audio/PCMSource.hpp"

#include <vector>

namespace korvel {

// Brings a sound under a true-peak ceiling with a look-ahead gain curve.
namespace TruePeakLimiter {
inline constexpr double ceilingToleranceDb = 0.02;

struct Output {
    PCMAudio buffer;
    // Linear gain per frame; empty when nothing was limited.
    std::vector<float> gain;
    // The deepest reduction as a positive number of dB.
    double reductionDb = 0;

    bool operator==(const Output&) const = default;
};

Output apply(const PCMAudio& audio, double ceilingDb);

// The gain curve for a linear ceiling, exposed for tests of its shape.
std::vector<float> gainCurve(const PCMAudio& audio, float ceiling);

// The same limiter over sound read a block at a time: the limited sound is
// the source times a gain curve kept in a store of its own.
struct Streamed {
    PCMSources::Source buffer;
    double reductionDb = 0;
};
Streamed apply(const PCMSources::Source& audio, double ceilingDb, const PCMStores& stores);
// Writes the gain curve into a one-channel store; returns its smallest value.
float gainCurve(const PCMSource& audio, float ceiling, PCMStore& into);
} // namespace TruePeakLimiter

} // namespace korvel
