#include "Adapters/Methods/AnalysisService.hpp"

#include "Adapters/Methods/AnalysisWire.hpp"
#include "Adapters/Methods/SourceFailure.hpp"
#include "Core/Analysis/LoudnessAnalyzer.hpp"
#include "Core/Analysis/LoudnessChannels.hpp"
#include "Core/Analysis/StreamedLoudness.hpp"
#include "Core/Analysis/Waveform.hpp"
#include "Core/ClientText.hpp"
#include "Core/Wire/LoudnessWire.hpp"
#include "Core/Wire/WaveformWire.hpp"

namespace korvel {

namespace {
JSONValue withAsset(JSONValue value, const std::string& assetId) {
    if (auto* object = value.objectPtr()) object->insert_or_assign("assetId", JSONValue(assetId));
    return value;
}
} // namespace

JSONValue AnalysisService::run(const JSONValue& raw, const JobContext& job) const {
    const auto params = decoded<AnalysisParams>(raw);
    const std::optional<AnalysisKind> kind = params.kind.known;
    if (kind == AnalysisKind::transcript) {
        if (!transcripts) throw EngineFailure::internalError("This engine was assembled without speech models.");
        return transcripts->run(params, job);
    }
    const std::string& hash = params.source.contentHash;
    const std::string fingerprint = versions.fingerprint(params.kind, hash, params.heardAs);
    if (auto stored = cache.load(fingerprint, params.kind.name, hash, params.assetId)) return std::move(*stored);

    if (kind && SoundOfVideo::serves(*kind) && !(kind == AnalysisKind::loudness && params.heardAs)) {
        SoundResults results = sound.measure(params, job);
        if (auto it = results.find(*kind); it != results.end()) return withAsset(std::move(it->second), params.assetId);
    }

    auto work = [self = *this, params, fingerprint](const JobContext& run) {
        const std::string& hash = params.source.contentHash;
        // A run that ended while this one was starting has stored its record.
        if (auto stored = self.cache.load(fingerprint, params.kind.name, hash, params.assetId))
            return std::move(*stored);
        JSONValue model = self.measure(params, fingerprint, run);
        Task::checkCancellation();
        self.cache.store(fingerprint, model);
        return model;
    };
    JSONValue answer = sharedValue<JSONValue>(*measuring, fingerprint, params.isBackground(), job, params.source.path,
                                              std::move(work));
    return withAsset(std::move(answer), params.assetId);
}

JSONValue AnalysisService::known(const JSONValue& raw) const {
    const auto params = decoded<AnalysisParams>(raw);
    if (params.kind.known == AnalysisKind::transcript) {
        auto stored = transcripts ? transcripts->known(params) : std::nullopt;
        return JSONValue(JSONValue::Object{{"analysis", stored ? std::move(*stored) : JSONValue()}});
    }
    const std::string& hash = params.source.contentHash;
    const std::string fingerprint = versions.fingerprint(params.kind, hash, params.heardAs);
    auto stored = cache.load(fingerprint, params.kind.name, hash, params.assetId);
    return JSONValue(JSONValue::Object{{"analysis", stored ? std::move(*stored) : JSONValue()}});
}

JSONValue AnalysisService::measure(const AnalysisParams& params, const std::string& fingerprint,
                                   const JobContext& job) const {
    verifyInRun(*library, params.source);
    const std::filesystem::path url(params.source.path);
    const std::string& hash = params.source.contentHash;
    if (params.kind.known) {
        switch (*params.kind.known) {
        case AnalysisKind::isolation: {
            const PCMAudio voice = decoding.isolatedVoice(params.source, job);
            const auto peaks = Waveform::peaks(voice.channels.empty() ? std::span<const float>{} : voice.channels[0]);
            return encoding(IsolationAnalysisModel(params.assetId, hash, fingerprint, peaks));
        }
        case AnalysisKind::loudness: {
            const LoudnessReading reading = loudnessAsHeard(url, params.heardAs, job);
            return encoding(LoudnessAnalysisModel(params.assetId, hash, fingerprint, reading));
        }
        case AnalysisKind::scenes: {
            const auto scan = withPassOverFramesKept(hash, url, [&] { return frames.scenes(url, job, *scenes); });
            return encoding(AnalysisWire::scenes(params.assetId, hash, fingerprint, scan.spans));
        }
        case AnalysisKind::faces: {
            const auto found = withPassOverFramesKept(hash, url, [&] { return frames.faces(url, job, *scenes); });
            return encoding(AnalysisWire::faces(params.assetId, hash, fingerprint, found));
        }
        case AnalysisKind::textRegions: {
            const auto found = frames.textRegions(url, job);
            return encoding(AnalysisWire::textRegions(params.assetId, hash, fingerprint, found));
        }
        case AnalysisKind::frameScores: {
            const auto scored = frames.frameScores(url, job);
            return encoding(AnalysisWire::frameScores(params.assetId, hash, fingerprint, scored));
        }
        case AnalysisKind::colorStats: {
            const auto measured = withPassOverFramesKept(hash, url, [&] { return frames.color(url, job, *scenes); });
            return encoding(AnalysisWire::colorStats(params.assetId, hash, fingerprint, measured));
        }
        case AnalysisKind::matte:
            throw EngineFailure::invalidParams("The matte has its own method: matte.build.");
        // Measured before the shared run, never here.
        case AnalysisKind::transcript:
        case AnalysisKind::silences:
        case AnalysisKind::waveform:
            break;
        }
    }
    throw EngineFailure::invalidParams("Unknown analysis: " + ClientText::quoted(params.kind.name) + ".");
}

template <class F>
auto AnalysisService::withPassOverFramesKept(const std::string& hash, const std::filesystem::path& url, F work) const
    -> decltype(work()) {
    recallSceneScan(hash, url);
    auto result = work();
    keepSceneScan(hash, url);
    return result;
}

void AnalysisService::recallSceneScan(const std::string& hash, const std::filesystem::path& url) const {
    const std::string fingerprint = versions.sceneScanFingerprint(hash);
    const auto stored = cache.load(fingerprint, SceneScanModel::scanKind, hash, "");
    if (!stored) return;
    if (const auto model = SceneScanModel::decoded(*stored)) scenes->remember(model->result(), url);
}

void AnalysisService::keepSceneScan(const std::string& hash, const std::filesystem::path& url) const noexcept {
    try {
        const std::string fingerprint = versions.sceneScanFingerprint(hash);
        const auto scan = scenes->known(url);
        if (!scan) return;
        // A damaged record would otherwise stay, and every later process scan again.
        const auto stored = cache.load(fingerprint, SceneScanModel::scanKind, hash, "");
        if (stored && SceneScanModel::decoded(*stored)) return;
        cache.store(fingerprint, SceneScanModel(hash, fingerprint, *scan).encoded());
    } catch (...) {
        // the scene scan is a convenience; its loss never fails the request
    }
}

LoudnessReading AnalysisService::loudnessAsHeard(const std::filesystem::path& url,
                                                const std::optional<std::string>& heardAs, const JobContext& job) const {
    const bool picture = library->hasPicture(url, "This audio track");
    const auto policy = loudnessChannelsPolicy(heardAs ? std::optional<std::string_view>(*heardAs) : std::nullopt, picture);
    // As they are: two channels; a voice: one channel heard in both ears.
    const bool asIs = policy == LoudnessChannels::asIs;
    StreamedLoudness measured(2);
    decoding.stream(url, asIs ? 2 : 1, job, [&](const std::vector<std::span<const float>>& piece) {
        if (asIs) measured.append(piece);
        else measured.append({piece.at(0), piece.at(0)});
    });
    return measured.finish();
}

} // namespace korvel
