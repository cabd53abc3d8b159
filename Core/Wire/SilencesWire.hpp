#pragma once

#include "Core/Analysis/SilenceDetector.hpp"
#include "Core/Wire/WireNumber.hpp"

#include <vector>

namespace korvel {

struct SilenceMeasurementModel {
    int64_t windowUs = 0;
    double floorDb = 0;
    double voiceDb = 0;
    double thresholdDb = 0;
    bool lowSeparation = false;

    explicit SilenceMeasurementModel(const SilenceMeasurementValues& values);
    SilenceMeasurementModel() = default;

    bool operator==(const SilenceMeasurementModel&) const = default;
    static SilenceMeasurementModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// A run carries its times flat, not as a nested span.
struct SilenceRunModel {
    int64_t startUs = 0;
    int64_t endUs = 0;
    double meanDb = 0;

    explicit SilenceRunModel(const SilenceRun& run);
    SilenceRunModel() = default;

    bool operator==(const SilenceRunModel&) const = default;
    static SilenceRunModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct SilencesAnalysisModel {
    AnalysisHeader header;
    SilenceMeasurementModel measurement;
    std::vector<SilenceRunModel> runs;

    SilencesAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint,
                          const SilenceDetector::Result& result);
    SilencesAnalysisModel() = default;

    bool operator==(const SilencesAnalysisModel&) const = default;
    static SilencesAnalysisModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
