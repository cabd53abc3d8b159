#pragma once

#include "Core/Wire/WireNumber.hpp"

#include <vector>

namespace korvel {

struct SceneModel {
    SpanModel span;
    double score = 0;

    // The score is clamped into 0...1 and rounded.
    SceneModel(int64_t startUs, int64_t endUs, double score);
    SceneModel() = default;

    bool operator==(const SceneModel&) const = default;
    static SceneModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct ScenesAnalysisModel {
    AnalysisHeader header;
    std::vector<SceneModel> scenes;

    ScenesAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint,
                        std::vector<SceneModel> scenes);
    ScenesAnalysisModel() = default;

    bool operator==(const ScenesAnalysisModel&) const = default;
    static ScenesAnalysisModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
