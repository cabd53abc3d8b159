#pragma once

#include "Core/Analysis/MatteQualityMeter.hpp"
#include "Core/Wire/WireNumber.hpp"

#include <optional>
#include <vector>

namespace korvel {

struct MatteQualityModel {
    double meanCoverage = 0;
    double outerRingOpaque = 0;
    double largestAreaDrop = 0;
    std::optional<double> personCoverage;
    // Present exactly when personCoverage is.
    std::optional<std::vector<SpanModel>> withoutPerson;
    std::optional<double> peopleSeen;
    std::optional<bool> greenScreen;

    explicit MatteQualityModel(const MatteQualityValues& values);
    MatteQualityModel() = default;

    bool operator==(const MatteQualityModel&) const = default;
    static MatteQualityModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct MatteAnalysisModel {
    AnalysisHeader header;
    std::string path;
    std::string method;
    int64_t width = 0;
    int64_t height = 0;
    int64_t frameCount = 0;
    int64_t durationUs = 0;
    MatteQualityModel quality;

    MatteAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint, std::string path,
                       std::string method, int64_t width, int64_t height, int64_t frameCount, int64_t durationUs,
                       const MatteQualityValues& quality);
    MatteAnalysisModel() = default;

    bool operator==(const MatteAnalysisModel&) const = default;
    static MatteAnalysisModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
