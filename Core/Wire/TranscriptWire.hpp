#pragma once

#include "Core/Speech/FillerFinding.hpp"
#include "Core/Wire/WireNumber.hpp"

#include <optional>
#include <vector>

namespace korvel {

struct TranscriptWordModel {
    std::string text;
    int64_t startUs = 0;
    int64_t endUs = 0;
    // Stored as given: the builder rounds it.
    Nullable<double> confidence;
    bool filler = false;

    bool operator==(const TranscriptWordModel&) const = default;
    static TranscriptWordModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct SentenceModel {
    int64_t firstWord = 0;
    int64_t lastWord = 0;

    bool operator==(const SentenceModel&) const = default;
    static SentenceModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct FillerCandidateModel {
    std::string kind;
    int64_t startUs = 0;
    int64_t endUs = 0;
    int64_t cutStartUs = 0;
    int64_t cutEndUs = 0;
    Nullable<int64_t> wordIndex;
    bool auditionOnly = false;

    explicit FillerCandidateModel(const FillerFinding& finding);
    FillerCandidateModel() = default;

    bool operator==(const FillerCandidateModel&) const = default;
    static FillerCandidateModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct TranscriptAnalysisModel {
    AnalysisHeader header;
    std::string language;
    std::string transcriber;
    bool provisional = false;
    std::vector<TranscriptWordModel> words;
    std::vector<SentenceModel> sentences;
    std::optional<std::vector<FillerCandidateModel>> fillerCandidates;
    // Written only as true.
    std::optional<bool> roughTimes;

    TranscriptAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint, std::string language,
                            std::string transcriber, bool provisional, std::vector<TranscriptWordModel> words,
                            std::vector<SentenceModel> sentences,
                            std::optional<std::vector<FillerCandidateModel>> fillerCandidates, bool roughTimes);
    TranscriptAnalysisModel() = default;

    bool operator==(const TranscriptAnalysisModel&) const = default;
    static TranscriptAnalysisModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
