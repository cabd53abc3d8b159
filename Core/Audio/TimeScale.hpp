#pragma once

#include <cstddef>
#include <vector>

namespace korvel {

// Changes the duration of one channel without changing its pitch, by
// waveform-similarity overlap-add; very short material is resampled.
namespace TimeScale {
// Output length round(n / speed). Speed 1, not above 0 or not a number gives
// the input back. Fails with invalidParams when the output would be longer
// than PCMAudio::maximumFrames: the speed comes from the client's plan.
std::vector<float> stretch(const std::vector<float>& samples, double speed);
// Linear resampling to `count` samples.
std::vector<float> resampled(const std::vector<float>& samples, size_t count);
} // namespace TimeScale

} // namespace korvel
