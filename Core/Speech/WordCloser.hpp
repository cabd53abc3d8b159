#pragma once

#include "Core/Speech/IntRange.hpp"
#include "Core/Speech/Transcription.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace korvel {

// The frames of a take that count as voice; frame i covers [i × 10 ms, (i + 1) × 10 ms).
struct VoicedFrames {
    std::vector<double> levels;
    double thresholdDb = 0;

    bool contains(int64_t frame) const;
    bool operator==(const VoicedFrames&) const = default;
};

// The last correction of word times: drops words over hardly any voice and
// moves the rest onto the voiced sound they cover, without overlaps.
namespace WordCloser {
inline constexpr double voicedAboveFloorDb = 14.0;

std::vector<RawWord> withoutPhantoms(std::span<const RawWord> words, std::span<const double> levels, bool shortWordsToo);
std::vector<RawWord> close(std::span<const RawWord> words, std::span<const double> levels);
// Takes are cut where words are more than 1.5 s apart.
std::vector<IntRange> takes(std::span<const RawWord> words);
VoicedFrames voicedMask(std::span<const double> levels, IntRange take, std::span<const RawWord> words);
} // namespace WordCloser

} // namespace korvel
