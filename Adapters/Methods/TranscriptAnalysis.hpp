#pragma once

#include "Adapters/Methods/AnalysisCache.hpp"
#include "Adapters/Methods/SharedMeasurement.hpp"
#include "Adapters/Methods/SoundDecoding.hpp"
#include "Adapters/Media/SourceLibrary.hpp"
#include "Core/Speech/TranscriptionPipeline.hpp"
#include "Core/Wire/AnalysisParams.hpp"
#include "Core/Wire/AnalysisVersions.hpp"

#include <memory>
#include <optional>

namespace korvel {

// The language the engine found in a source's speech, kept so that later
// "auto" requests skip the detection.
struct VoiceLanguageModel {
    std::string kind = "voice_language";
    std::string contentHash;
    std::string fingerprint;
    std::string language;
    std::string finder;

    static VoiceLanguageModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// The transcript kind of analysis.run and analysis.known.
struct TranscriptAnalysis {
    std::shared_ptr<const TranscriptionPipeline> pipeline;
    AnalysisCache cache;
    std::shared_ptr<SharedMeasurement<JSONValue>> measuring;
    std::shared_ptr<SourceLibrary> library;
    AnalysisVersions versions;
    SoundDecoding decoding;

    JSONValue run(const AnalysisParams& params, const JobContext& job) const;
    std::optional<JSONValue> known(const AnalysisParams& params) const;

    std::string fingerprint(const std::string& hash, const std::string& language, TranscriberKind transcriber,
                            bool aligned) const;

private:
    struct Taken {
        JSONValue value;
        std::string fingerprint;
        TranscriptionPipeline::Outcome outcome;
    };
    JSONValue runIn(const AnalysisParams& params, const std::string& language, const JobContext& job) const;
    std::optional<VoiceLanguageModel> foundLanguage(const std::string& hash) const;
    Taken takeTranscript(const std::filesystem::path& url, const std::string& assetId, const std::string& hash,
                         const std::string& language, const JobContext& job) const;
};

} // namespace korvel
