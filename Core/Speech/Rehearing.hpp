#pragma once

#include "Core/Jobs.hpp"
#include "Core/Speech/CTCAligner.hpp"
#include "Core/Speech/IntRange.hpp"
#include "Core/Speech/Transcription.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korvel {

// Hears again the stretches the aligner could not confirm, or voiced stretches
// without words, and takes the new words when the sound bears out more of them.
struct Rehearing {
    static constexpr int64_t minimumLostVoiceUs = 700'000;
    static constexpr std::array<int64_t, 2> contextsUs{2'000'000, 1'000'000};
    static constexpr int64_t maximumStretchUs = 26'000'000;
    static constexpr size_t maximumStretches = 8;
    static constexpr int64_t edgeToleranceUs = 250'000;

    struct Stretch {
        IntRange span;    // microseconds
        IntRange words;   // indices of the words a re-heard result replaces
        int64_t lostUs = 0;

        bool operator==(const Stretch&) const = default;
    };

    struct Result {
        CTCAligner::Placement placement;
        std::vector<IntRange> uncertain;
        int64_t reheard = 0;
    };

    Transcriber& transcriber;
    CTCAligner aligner;

    Rehearing(Transcriber& transcriber, CTCAligner aligner);

    // Throws what the transcriber and the aligner throw, and Cancelled.
    Result heal(const CTCAligner::Placement& placement, std::span<const float> samples16k, std::span<const IntRange> voice,
                const std::string& language, const JobContext& job) const;

    static std::vector<Stretch> stretches(const CTCAligner::Placement& placement, std::span<const IntRange> voice,
                                          int64_t durationUs);
    static std::vector<IntRange> uncertain(const CTCAligner::Placement& placement, std::span<const IntRange> voice,
                                           int64_t durationUs);
    static IntRange window(IntRange span, int64_t durationUs, int64_t contextUs);
};

} // namespace korvel
