#pragma once

#include "Core/Jobs.hpp"
#include "Core/Speech/EmissionModel.hpp"
#include "Core/Speech/Transcription.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace korvel {

// Forced alignment of recognised words onto the sound with a CTC letter model.
struct CTCAligner {
    static constexpr int64_t maximumChunkUs = 14'000'000;
    static constexpr int64_t defaultMaximumShiftUs = 1'000'000;
    static constexpr double minimumLetterLogProbability = -8.0;

    // Three parallel lists, one entry per word.
    struct Placement {
        std::vector<RawWord> words;
        std::vector<bool> placed;
        std::vector<std::optional<double>> letterLogProbability;

        bool operator==(const Placement&) const = default;
    };

    std::shared_ptr<EmissionModel> model;
    int64_t maximumShiftUs = defaultMaximumShiftUs;

    CTCAligner(std::shared_ptr<EmissionModel> model, int64_t maximumShiftUs);

    static std::vector<std::vector<RawWord>> chunks(std::span<const RawWord> words);

    // Throws the model's errors and Cancelled; every other shortfall leaves words where they were.
    std::vector<RawWord> align(std::span<const RawWord> words, std::span<const float> samples16k, const JobContext& job) const;
    Placement place(std::span<const RawWord> words, std::span<const float> samples16k, int64_t previousEndUs,
                    std::optional<int64_t> nextStartUs, const JobContext& job) const;

private:
    Placement alignChunk(std::span<const RawWord> words, int64_t windowStartUs, int64_t windowEndUs,
                         std::span<const float> samples16k) const;
};

} // namespace korvel
