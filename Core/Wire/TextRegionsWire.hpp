#pragma once

#include "Core/Wire/WireNumber.hpp"

#include <vector>

namespace korvel {

struct TextRegionModel {
    RectModel box;
    double confidence = 0;

    // Rounds each coordinate on its own; the box is not cut to the frame here.
    TextRegionModel(double x, double y, double w, double h, double confidence);
    TextRegionModel() = default;

    static TextRegionModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct TextRegionSampleModel {
    int64_t atUs = 0;
    std::vector<TextRegionModel> regions;

    static TextRegionSampleModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct TextRegionsAnalysisModel {
    AnalysisHeader header;
    std::vector<TextRegionSampleModel> samples;

    TextRegionsAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint,
                             std::vector<TextRegionSampleModel> samples);
    TextRegionsAnalysisModel() = default;

    static TextRegionsAnalysisModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
