#pragma once

#include "Core/Analysis/Waveform.hpp"
#include "Core/Wire/WireNumber.hpp"

#include <vector>

namespace korvel {

// Peaks keep four decimals of the 32-bit peak widened to 64 bits.
double wirePeak(float peak);

struct WaveformAnalysisModel {
    AnalysisHeader header;
    int64_t bucketUs = 0;
    std::vector<double> peaks;

    WaveformAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint,
                          const Waveform::Result& result);
    WaveformAnalysisModel() = default;

    bool operator==(const WaveformAnalysisModel&) const = default;
    static WaveformAnalysisModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// The peaks of an isolated voice: the waveform's shape under its own kind.
struct IsolationAnalysisModel {
    AnalysisHeader header;
    int64_t bucketUs = 0;
    std::vector<double> peaks;

    IsolationAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint,
                           const Waveform::Result& result);
    IsolationAnalysisModel() = default;

    bool operator==(const IsolationAnalysisModel&) const = default;
    static IsolationAnalysisModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
