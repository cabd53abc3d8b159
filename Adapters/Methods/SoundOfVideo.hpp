#pragma once

#include "Adapters/Methods/AnalysisCache.hpp"
#include "Adapters/Methods/SharedMeasurement.hpp"
#include "Adapters/Methods/SoundDecoding.hpp"
#include "Adapters/Media/SourceLibrary.hpp"
#include "Core/Wire/AnalysisParams.hpp"
#include "Core/Wire/AnalysisVersions.hpp"

#include <map>
#include <memory>

namespace korvel {

using SoundResults = std::map<AnalysisKind, JSONValue>;

// Silences, waveform and loudness of a source from one mono decode, shared
// per content hash and stored as a record per kind. A source without a
// picture gets no loudness here: its sound is measured as heard instead.
struct SoundOfVideo {
    std::shared_ptr<SharedMeasurement<SoundResults>> reading;
    std::shared_ptr<SourceLibrary> library;
    AnalysisCache cache;
    AnalysisVersions versions;
    SoundDecoding decoding;

    static bool serves(AnalysisKind kind);

    SoundResults measure(const AnalysisParams& params, const JobContext& job) const;
};

} // namespace korvel
