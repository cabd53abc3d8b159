#pragma once

#include "Adapters/Methods/AnalysisCache.hpp"
#include "Adapters/Methods/FrameAnalysers.hpp"
#include "Adapters/Methods/SharedMeasurement.hpp"
#include "Adapters/Methods/SoundDecoding.hpp"
#include "Adapters/Methods/SoundOfVideo.hpp"
#include "Adapters/Methods/TranscriptAnalysis.hpp"
#include "Adapters/Media/SourceLibrary.hpp"
#include "Core/Analysis/LoudnessAnalyzer.hpp"
#include "Core/Wire/AnalysisParams.hpp"
#include "Core/Wire/AnalysisVersions.hpp"

#include <functional>
#include <memory>

namespace korvel {

// analysis.run and analysis.known: the cache in front of every measurement,
// one shared run per fingerprint, each new result stored.
struct AnalysisService {
    AnalysisCache cache;
    std::shared_ptr<SharedMeasurement<JSONValue>> measuring;
    SoundOfVideo sound;
    std::shared_ptr<SourceLibrary> library;
    AnalysisVersions versions;
    SoundDecoding decoding;
    FrameAnalysers frames;
    SceneScanMemo* scenes = nullptr;
    // Absent where no speech models are given.
    std::optional<TranscriptAnalysis> transcripts;

    JSONValue run(const JSONValue& params, const JobContext& job) const;
    JSONValue known(const JSONValue& params) const;

private:
    JSONValue measure(const AnalysisParams& params, const std::string& fingerprint, const JobContext& job) const;
    // Measured while the sound is decoded, never kept whole.
    LoudnessReading loudnessAsHeard(const std::filesystem::path& url, const std::optional<std::string>& heardAs,
                                    const JobContext& job) const;
    // Runs a frame pass that leaves the file's scene scan behind, in memory
    // and on disk, for the other kinds that start from it.
    template <class F> auto withPassOverFramesKept(const std::string& hash, const std::filesystem::path& url, F work) const
        -> decltype(work());
    void recallSceneScan(const std::string& hash, const std::filesystem::path& url) const;
    void keepSceneScan(const std::string& hash, const std::filesystem::path& url) const noexcept;
};

} // namespace korvel
