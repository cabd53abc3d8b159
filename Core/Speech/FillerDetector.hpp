#pragma once

#include "Core/Speech/FillerFinding.hpp"
#include "Core/Speech/IntRange.hpp"
#include "Core/Speech/Transcription.hpp"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// Filler candidates in a finished transcript: hesitation words, English
// connectors held far too long, and voice between the words of a take.
namespace FillerDetector {
inline constexpr int64_t sustainedMinimumUs = 350'000;
inline constexpr int64_t sustainedKeepUs = 300'000;
inline constexpr int64_t minimumCutUs = 120'000;
inline constexpr int64_t gapVoicedMinimumUs = 80'000;
inline constexpr int64_t onsetTransitionUs = 50'000;
inline constexpr int64_t heldKeepUs = 120'000;

bool isFillerSound(std::string_view text, std::string_view language = "en");
// Levels are dB per 10 ms window; a finding whose cut overlaps an uncertain
// range is offered for listening only.
std::vector<FillerFinding> candidates(std::span<const RawWord> words, std::span<const double> levels,
                                      std::span<const IntRange> uncertain, std::string_view language);
// Keeps a voiced gap only when the decoder hears something in it. Throws what
// the decoder throws, and Cancelled.
std::vector<FillerFinding> confirmed(std::span<const FillerFinding> findings,
                                     const std::function<std::string(int64_t startUs, int64_t endUs)>& decode);
} // namespace FillerDetector

} // namespace korvel
