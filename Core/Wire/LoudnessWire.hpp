#pragma once

#include "Core/Analysis/LoudnessAnalyzer.hpp"
#include "Core/Wire/WireNumber.hpp"

#include <optional>
#include <vector>

namespace korvel {

struct LoudnessPhraseModel {
    SpanModel span;
    double lufs = 0;
    std::optional<double> gainDb;

    explicit LoudnessPhraseModel(const PhraseLoudness& phrase);
    LoudnessPhraseModel() = default;

    bool operator==(const LoudnessPhraseModel&) const = default;
    static LoudnessPhraseModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct LoudnessAnalysisModel {
    AnalysisHeader header;
    double integratedLufs = 0;
    double truePeakDb = 0;
    std::vector<LoudnessPhraseModel> phrases;

    LoudnessAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint,
                          const LoudnessReading& reading);
    LoudnessAnalysisModel() = default;

    bool operator==(const LoudnessAnalysisModel&) const = default;
    static LoudnessAnalysisModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
