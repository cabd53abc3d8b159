#pragma once

#include "Core/Wire/WireNumber.hpp"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

struct MeanRgbModel {
    double r = 0;
    double g = 0;
    double b = 0;

    // Rounds each component as a fraction.
    MeanRgbModel(double r, double g, double b);
    MeanRgbModel() = default;

    bool operator==(const MeanRgbModel&) const = default;
    static MeanRgbModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct ColorTakeModel {
    SpanModel span;
    MeanRgbModel meanRgb;
    Nullable<MeanRgbModel> brightRgb;
    double lumaP05 = 0;
    double lumaP50 = 0;
    double lumaP95 = 0;
    std::vector<double> lumaLayout;
    // Carried exactly as measured.
    std::map<std::string, double> autoAdjustments;

    // Rounds the percentiles and the layout; the colours come rounded already.
    ColorTakeModel(SpanModel span, MeanRgbModel meanRgb, std::optional<MeanRgbModel> brightRgb, double lumaP05,
                   double lumaP50, double lumaP95, const std::vector<double>& lumaLayout,
                   std::map<std::string, double> autoAdjustments);
    ColorTakeModel() = default;

    static ColorTakeModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct ColorSampleModel {
    int64_t atUs = 0;
    MeanRgbModel meanRgb;

    static ColorSampleModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct ColorStatsAnalysisModel {
    AnalysisHeader header;
    std::vector<ColorTakeModel> takes;
    std::vector<ColorSampleModel> samples;

    ColorStatsAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint,
                            std::vector<ColorTakeModel> takes, std::vector<ColorSampleModel> samples);
    ColorStatsAnalysisModel() = default;

    static ColorStatsAnalysisModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
