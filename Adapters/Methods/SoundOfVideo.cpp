#include "Adapters/Methods/SoundOfVideo.hpp"

#include "Adapters/Methods/SourceFailure.hpp"
#include "Core/Analysis/LoudnessChannels.hpp"
#include "Core/Analysis/StreamedSoundMeasures.hpp"
#include "Core/Wire/LoudnessWire.hpp"
#include "Core/Wire/SilencesWire.hpp"
#include "Core/Wire/WaveformWire.hpp"

namespace korvel {

bool SoundOfVideo::serves(AnalysisKind kind) {
    switch (kind) {
    case AnalysisKind::silences:
    case AnalysisKind::waveform:
    case AnalysisKind::loudness:
        return true;
    case AnalysisKind::transcript:
    case AnalysisKind::isolation:
    case AnalysisKind::faces:
    case AnalysisKind::scenes:
    case AnalysisKind::colorStats:
    case AnalysisKind::frameScores:
    case AnalysisKind::textRegions:
    case AnalysisKind::matte:
        return false;
    }
    return false;
}

SoundResults SoundOfVideo::measure(const AnalysisParams& params, const JobContext& job) const {
    auto work = [self = *this, params](const JobContext& run) {
        verifyInRun(*self.library, params.source);
        const std::filesystem::path url(params.source.path);
        const bool picture = self.library->hasPicture(url, "This audio track");
        const bool loudness = loudnessChannelsPolicy(std::nullopt, picture) == LoudnessChannels::voiceInBoth;
        StreamedSoundMeasures measures(loudness);
        self.decoding.stream(url, 1, run, [&](const std::vector<std::span<const float>>& channels) {
            measures.append(channels.at(0));
        });
        auto results = measures.finish();

        const std::string& hash = params.source.contentHash;
        SoundResults answer;
        auto keep = [&](AnalysisKind kind, JSONValue value, const std::string& fingerprint) {
            // A run abandoned by its last waiter stores nothing it may not have finished.
            Task::checkCancellation();
            self.cache.store(fingerprint, value);
            answer.emplace(kind, std::move(value));
        };
        const std::string silences = self.versions.fingerprint(AnalysisKind::silences, hash, std::nullopt);
        keep(AnalysisKind::silences,
             encoding(SilencesAnalysisModel(params.assetId, hash, silences, results.silences)), silences);
        const std::string waveform = self.versions.fingerprint(AnalysisKind::waveform, hash, std::nullopt);
        keep(AnalysisKind::waveform,
             encoding(WaveformAnalysisModel(params.assetId, hash, waveform, results.waveform)), waveform);
        if (results.loudness) {
            const std::string fingerprint = self.versions.fingerprint(AnalysisKind::loudness, hash, std::nullopt);
            keep(AnalysisKind::loudness,
                 encoding(LoudnessAnalysisModel(params.assetId, hash, fingerprint, *results.loudness)), fingerprint);
        }
        return answer;
    };
    return sharedValue<SoundResults>(*reading, params.source.contentHash, params.isBackground(), job,
                                     params.source.path, std::move(work));
}

} // namespace korvel
