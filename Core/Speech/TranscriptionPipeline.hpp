#pragma once

#include "Core/Jobs.hpp"
#include "Core/Speech/EmissionModel.hpp"
#include "Core/Speech/FillerFinding.hpp"
#include "Core/Speech/IntRange.hpp"
#include "Core/Speech/ModelCatalog.hpp"
#include "Core/Speech/Transcription.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvel {

// The sound of one clip to a finished transcript: the recogniser chosen for
// the language, the language found for "auto", one recognition, alignment
// and re-hearing when the English alignment model is there, words closed onto
// the voice, fillers and sentences. Calls block the job's thread.
struct TranscriptionPipeline {
    struct Word {
        std::string text;
        int64_t startUs = 0;
        int64_t endUs = 0;
        std::optional<double> confidence;
        bool filler = false;

        bool operator==(const Word&) const = default;
    };

    struct Outcome {
        TranscriberKind transcriber = TranscriberKind::whisperLargeV3;
        bool provisional = false;
        std::vector<Word> words;
        std::vector<SentenceSpan> sentences;
        std::vector<FillerFinding> fillers;
        bool aligned = false;
        int64_t reheard = 0;
        std::string language;
        bool languageFound = false;
        bool roughTimes = false;
    };

    struct Plan {
        TranscriberKind transcriber = TranscriberKind::whisperLargeV3;
        bool aligned = false;

        bool operator==(const Plan&) const = default;
    };

    std::shared_ptr<Transcriber> systemTranscriber;
    std::shared_ptr<SpeechModelProviding> models;

    TranscriptionPipeline(std::shared_ptr<Transcriber> systemTranscriber, std::shared_ptr<SpeechModelProviding> models);

    // Throws -32005 when no recogniser serves the language, the recognisers'
    // and models' failures, and Cancelled.
    Outcome run(std::span<const float> samples48k, std::span<const float> samples16k, const std::string& language,
                const JobContext& job) const;
    // The same from the 10 ms levels of the 48 kHz sound, which is all it reads
    // of it, so that sound need not be kept whole.
    Outcome runOnLevels(std::span<const double> levels48k, std::span<const float> samples16k,
                        const std::string& language, const JobContext& job) const;
    Plan plan(const std::string& language) const;
    std::optional<TranscriberKind> languageFinder() const;
    // Never throws: a model that can't be asked for counts as missing.
    void askForMissingModels(const std::string& language) const noexcept;

    // Voiced regions of the 10 ms levels, in microseconds.
    static std::vector<IntRange> voice(std::span<const double> levels);
    // What the model hears in a gap widened by 50 ms each side.
    static std::string heardInGap(EmissionModel& model, std::span<const float> samples16k, int64_t startUs, int64_t endUs);

private:
    std::shared_ptr<Transcriber> quality(const std::string& language) const;
    Outcome hear(const std::string& language, bool languageFound, std::span<const double> levels,
                 std::span<const float> samples16k, const JobContext& job) const;
    Outcome finish(const std::vector<RawWord>& words, Transcriber& by, const std::shared_ptr<Transcriber>& quality,
                   const std::shared_ptr<EmissionModel>& emission, const std::string& language, bool languageFound,
                   std::span<const double> levels, std::span<const float> samples16k, const JobContext& job) const;
};

} // namespace korvel
