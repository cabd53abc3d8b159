#pragma once

#include "Core/Wire/WireNumber.hpp"

#include <optional>
#include <vector>

namespace korvel {

struct FrameScoreModel {
    int64_t atUs = 0;
    Nullable<double> faceQuality;
    double sharpness = 0;

    // Quality as a fraction; sharpness to two decimals, floored at 0, unbounded.
    FrameScoreModel(int64_t atUs, std::optional<double> faceQuality, double sharpness);
    FrameScoreModel() = default;

    bool operator==(const FrameScoreModel&) const = default;
    static FrameScoreModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct FrameScoresAnalysisModel {
    AnalysisHeader header;
    std::vector<FrameScoreModel> samples;

    FrameScoresAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint,
                             std::vector<FrameScoreModel> samples);
    FrameScoresAnalysisModel() = default;

    bool operator==(const FrameScoresAnalysisModel&) const = default;
    static FrameScoresAnalysisModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
