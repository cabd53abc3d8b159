#pragma once

#include "Core/Audio/PCMAudio.hpp"
#include "Core/Audio/PCMSource.hpp"

#include <vector>

namespace korvel {

// Inter-sample peaks by 4× oversampling with windowed-sinc interpolation.
namespace TruePeak {
inline constexpr double silenceDb = -120.0;

// Per sample: the largest of |x[i]| and the interpolated |y(i + ¼)|, |y(i + ½)|, |y(i + ¾)|.
std::vector<float> envelope(const std::vector<float>& samples);
// envelope[i] = max(envelope[i], envelope of samples at i); both the same length.
void raise(std::vector<float>& envelope, const std::vector<float>& samples);
// The largest envelope value over all channels, in dBTP.
double measureDb(const PCMAudio& audio);
// The same peak, read a block at a time.
double measureDb(const PCMSource& audio);
// The envelope of frames [from, from + count) of one channel, equal to that
// part of the whole channel's envelope.
std::vector<float> envelope(const PCMSource& audio, int channel, int64_t from, int64_t count);
} // namespace TruePeak

} // namespace korvel
