#pragma once

#include "Core/Audio/PCMAudio.hpp"
#include "Core/Audio/PCMSource.hpp"

#include <cstdint>

namespace korvel {

// The true peak a sound has after one AAC cycle (encode with FFmpeg's AAC
// encoder, decode again). Long sounds are cut on packet boundaries into
// chunks that are encoded in parallel, each with a second of the sound
// before it, so every chunk's coder starts where one whole-stream encode
// would be.
namespace EncodedPeak {
inline constexpr int64_t contextFrames = 46 * 1024;
inline constexpr int64_t minimumChunkFrames = 480 * 1024;

double measureDb(const PCMAudio& audio, int64_t bitRate);
double measureDb(const PCMSource& audio, int64_t bitRate);
} // namespace EncodedPeak

} // namespace korvel
