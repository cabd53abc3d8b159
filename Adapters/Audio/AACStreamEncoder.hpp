#pragma once

#include "Adapters/Audio/GrowingAudioStream.hpp"
#include "Core/Container/EncodedAudioStream.hpp"
#include "Core/Audio/PCMAudio.hpp"
#include "Core/Audio/PCMSource.hpp"

namespace korvel {

// Encodes a mix into AAC-LC packets published into a growing stream.
namespace AACStreamEncoder {
inline constexpr int64_t previewBitRate = 192'000;
// The delay the packet windows assume; FFmpeg's encoder primes 1024 frames,
// so 1088 frames of silence go in first.
inline constexpr int64_t encoderDelayFrames = 2112;
inline constexpr int64_t leadingSilenceFrames = 1088;

// Blocking; ends with Cancelled when the stream is stopped or the task cancelled.
void encode(const PCMAudio& audio, int64_t bitRate, GrowingAudioStream& stream);
void encode(const PCMSource& audio, int64_t bitRate, GrowingAudioStream& stream);
EncodedAudioStream encode(const PCMAudio& audio, int64_t bitRate);
} // namespace AACStreamEncoder

} // namespace korvel
