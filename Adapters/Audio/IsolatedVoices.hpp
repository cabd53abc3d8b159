#pragma once

#include "Adapters/Media/SourceLibrary.hpp"
#include "Core/Audio/PCMAudio.hpp"
#include "Core/Audio/PCMSource.hpp"
#include "Core/Audio/VoiceIsolating.hpp"
#include "Core/Jobs.hpp"
#include "Core/Wire/EngineSource.hpp"

#include <filesystem>
#include <memory>
#include <string>

namespace korvel {

// The isolated voice of each source, kept as a mono float WAV under
// <cache>/analysis/isolation keyed by content hash and engine version.
class IsolatedVoices {
public:
    IsolatedVoices(std::shared_ptr<VoiceIsolating> isolator, const std::filesystem::path& cacheRoot,
                   std::shared_ptr<SourceLibrary> library, std::string engineVersion);

    PCMAudio voice(const EngineSource& source, const JobContext& job);
    // The same voice, held in memory when it has at most `room` samples (their
    // count left in `held`), else read from a scratch copy.
    PCMSources::Source voiceSource(const EngineSource& source, const JobContext& job, int64_t room, int64_t& held);
    std::filesystem::path file(const EngineSource& source) const;

private:
    std::shared_ptr<VoiceIsolating> isolator_;
    std::filesystem::path folder_, journal_;
    std::shared_ptr<SourceLibrary> library_;
    std::string engineVersion_;
};

} // namespace korvel
