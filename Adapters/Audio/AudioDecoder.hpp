#pragma once

#include "Adapters/Audio/DirectAudioFile.hpp"
#include "Core/Audio/PCMAudio.hpp"
#include "Core/Jobs.hpp"

#include <filesystem>
#include <functional>
#include <span>
#include <optional>
#include <vector>

namespace korvel {

// The one reader of sound files: a file's first readable audio track as
// float PCM at the asked rate and channel count. Mono sources are copied to
// both channels of a stereo read; a stereo source read for one channel is
// the mean of its pair. The channel count of the first buffer holds to the
// end, whatever layout or rate later ones have, and every sample is finite
// and within ±16.
namespace AudioDecoder {
// 48 kHz with `channels` channels. Throws EngineFailure (-32001 missing file,
// -32602 no audio track, -32002 "This audio track cannot be read." for a rate
// no sound has, a movie whose samples lie past its end as a file cut short,
// reading failures of "This audio track") or Cancelled.
PCMAudio read(const std::filesystem::path& url, int channels, const JobContext& job);
// The same sound at 48 kHz handed over piece by piece, in order, without
// keeping it: each piece holds one span per channel. Same failures as read().
using Piece = std::function<void(const std::vector<std::span<const float>>& channels)>;
void stream(const std::filesystem::path& url, int channels, const JobContext& job, const Piece& piece);
// One channel at any rate.
std::vector<float> readMono(const std::filesystem::path& url, int sampleRate, const JobContext& job);
// The first audio track as the direct route reads it on its plan, opening
// the file once; nothing when it can't be read or gives up on the plan.
std::optional<std::vector<std::vector<float>>> readDirect(const std::filesystem::path& url,
                                                          const DirectAudioFile::Plan& plan, int rate, int channels,
                                                          const JobContext& job);
// Whether a source's sample rate is one real sound is recorded at; the
// decoder refuses others as "This audio track cannot be read."
bool readableRate(int rate);
// The same sound at `rate` instead of 48 kHz.
void streamAt(const std::filesystem::path& url, int rate, int channels, const JobContext& job, const Piece& piece);
} // namespace AudioDecoder

} // namespace korvel
