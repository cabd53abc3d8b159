#pragma once

#include "Adapters/Methods/AnalysisCache.hpp"
#include "Adapters/Methods/SharedMeasurement.hpp"
#include "Adapters/Methods/SoundDecoding.hpp"
#include "Adapters/Render/SourceLibrary.hpp"
#include "Core/Wire/AnalysisParams.hpp"
#include "Core/Wire/AnalysisVersions.hpp"

#include <array>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace korvel {

using SoundResults = std::map<std::string, JSONValue>;

// Silences, waveform and loudness of a source from one mono decode, shared
// per content hash and stored as a record per kind. A source without a
// picture gets no loudness here: its sound is measured as heard instead.
struct SoundOfVideo {
    static constexpr std::array<std::string_view, 3> kinds{"silences", "waveform", "loudness"};

    std::shared_ptr<SharedMeasurement<SoundResults>> reading;
    std::shared_ptr<SourceLibrary> library;
    AnalysisCache cache;
    AnalysisVersions versions;
    SoundDecoding decoding;

    static bool serves(std::string_view kind);

    SoundResults measure(const AnalysisParams& params, const JobContext& job) const;
};

} // namespace korvel
