#include "Adapters/Methods/TranscriptAnalysis.hpp"

#include "Adapters/Methods/SourceFailure.hpp"
#include "Core/Analysis/SilenceDetector.hpp"
#include "Core/Speech/ModelCatalog.hpp"
#include "Core/Speech/VoiceLanguage.hpp"
#include "Core/Wire/TranscriptWire.hpp"

#include <array>

namespace korvel {

namespace {
JSONValue withAsset(JSONValue value, const std::string& assetId) {
    if (auto* object = value.objectPtr()) object->insert_or_assign("assetId", JSONValue(assetId));
    return value;
}

TranscriptAnalysisModel modelOf(const TranscriptionPipeline::Outcome& o, const std::string& assetId,
                                const std::string& hash, const std::string& fingerprint) {
    std::vector<TranscriptWordModel> words;
    words.reserve(o.words.size());
    for (const auto& w : o.words) {
        Nullable<double> confidence;
        if (w.confidence) confidence = WireNumber::fraction(*w.confidence);
        words.push_back({w.text, w.startUs, w.endUs, confidence, w.filler});
    }
    std::vector<SentenceModel> sentences;
    sentences.reserve(o.sentences.size());
    for (const auto& s : o.sentences) sentences.push_back({s.firstWord, s.lastWord});
    std::vector<FillerCandidateModel> fillers;
    fillers.reserve(o.fillers.size());
    for (const auto& f : o.fillers) fillers.emplace_back(f);
    return TranscriptAnalysisModel(assetId, hash, fingerprint, o.language, std::string(rawValue(o.transcriber)),
                                   o.provisional, std::move(words), std::move(sentences), std::move(fillers),
                                   o.roughTimes);
}
} // namespace

VoiceLanguageModel VoiceLanguageModel::decode(const JSONReader& in) {
    VoiceLanguageModel m;
    in.read("kind", m.kind);
    in.read("contentHash", m.contentHash);
    in.read("fingerprint", m.fingerprint);
    in.read("language", m.language);
    in.read("finder", m.finder);
    return m;
}

void VoiceLanguageModel::encode(JSONWriter& out) const {
    out.write("kind", kind);
    out.write("contentHash", contentHash);
    out.write("fingerprint", fingerprint);
    out.write("language", language);
    out.write("finder", finder);
}

std::string TranscriptAnalysis::fingerprint(const std::string& hash, const std::string& language,
                                            TranscriberKind transcriber, bool aligned) const {
    const std::string aligner = aligned ? ModelCatalog::ctcLv60().sha256 : "unaligned";
    const std::string recogniser =
        transcriber == TranscriberKind::speechTranscriber ? "system" : ModelCatalog::whisperLargeV3().sha256;
    return versions.transcriptFingerprint(hash, language, rawValue(transcriber), aligner, recogniser);
}

JSONValue TranscriptAnalysis::run(const AnalysisParams& params, const JobContext& job) const {
    if (!params.language)
        throw EngineFailure::invalidParams("A transcript needs a language: a tag, or auto for the engine to find it.");
    if (*params.language != VoiceLanguage::autoLanguage) return runIn(params, *params.language, job);
    const auto finder = pipeline->languageFinder();
    if (!finder) return runIn(params, std::string(VoiceLanguage::fallback), job);
    const std::string& hash = params.source.contentHash;
    if (const auto found = foundLanguage(hash); found && found->finder == rawValue(*finder))
        return runIn(params, found->language, job);

    const std::string key = versions.voiceLanguageFingerprint(hash);
    auto work = [self = *this, params, key, finderName = std::string(rawValue(*finder))](const JobContext& run) {
        verifyInRun(*self.library, params.source);
        const std::string& hash = params.source.contentHash;
        Taken taken = self.takeTranscript(params.source.path, params.assetId, hash,
                                          std::string(VoiceLanguage::autoLanguage), run);
        Task::checkCancellation();
        self.cache.store(taken.fingerprint, taken.value);
        const VoiceLanguageModel record{"voice_language", hash, key, taken.outcome.language, finderName};
        self.cache.store(key, encoding(record));
        return std::move(taken.value);
    };
    JSONValue value = sharedValue<JSONValue>(*measuring, key, params.isBackground(), job, params.source.path,
                                             std::move(work));
    return withAsset(std::move(value), params.assetId);
}

JSONValue TranscriptAnalysis::runIn(const AnalysisParams& params, const std::string& language,
                                    const JobContext& job) const {
    const auto plan = pipeline->plan(language);
    const std::string& hash = params.source.contentHash;
    const std::string key = fingerprint(hash, language, plan.transcriber, plan.aligned);
    if (auto stored = cache.load(key, params.kind.name, hash, params.assetId)) {
        pipeline->askForMissingModels(language);
        return std::move(*stored);
    }
    auto work = [self = *this, params, key, language](const JobContext& run) {
        const std::string& hash = params.source.contentHash;
        if (auto stored = self.cache.load(key, params.kind.name, hash, params.assetId)) return std::move(*stored);
        verifyInRun(*self.library, params.source);
        Taken taken = self.takeTranscript(params.source.path, params.assetId, hash, language, run);
        Task::checkCancellation();
        self.cache.store(taken.fingerprint, taken.value);
        return std::move(taken.value);
    };
    JSONValue value = sharedValue<JSONValue>(*measuring, key, params.isBackground(), job, params.source.path,
                                             std::move(work));
    return withAsset(std::move(value), params.assetId);
}

std::optional<VoiceLanguageModel> TranscriptAnalysis::foundLanguage(const std::string& hash) const {
    const std::string key = versions.voiceLanguageFingerprint(hash);
    const auto stored = cache.load(key, "voice_language", hash, "");
    if (!stored) return std::nullopt;
    try {
        return decoded<VoiceLanguageModel>(*stored);
    } catch (const EngineFailure&) {
        return std::nullopt;
    }
}

TranscriptAnalysis::Taken TranscriptAnalysis::takeTranscript(const std::filesystem::path& url,
                                                             const std::string& assetId, const std::string& hash,
                                                             const std::string& language, const JobContext& job) const {
    // The decodes report nothing: the progress a client sees is the pipeline's.
    const JobContext decodingJob({}, [&job] { job.giveWay(); }, [&job] { return job.mustGiveWay(); });
    // Of the 48 kHz sound the pipeline reads only its 10 ms levels.
    std::vector<double> levels;
    std::vector<float> window;
    window.reserve(SilenceDetector::windowFrames);
    decoding.stream(url, 1, decodingJob, [&](const std::vector<std::span<const float>>& channels) {
        for (float sample : channels.at(0)) {
            window.push_back(sample);
            if (window.size() == static_cast<size_t>(SilenceDetector::windowFrames)) {
                levels.push_back(SilenceDetector::windowLevel(window));
                window.clear();
            }
        }
    });
    if (!window.empty()) levels.push_back(SilenceDetector::windowLevel(window));
    const std::vector<float> samples16k = decoding.readMono(url, 16'000, decodingJob);
    const auto outcome = pipeline->runOnLevels(levels, samples16k, language, job);
    const std::string key = fingerprint(hash, outcome.language, outcome.transcriber, outcome.aligned);
    return {encoding(modelOf(outcome, assetId, hash, key)), key, outcome};
}

std::optional<JSONValue> TranscriptAnalysis::known(const AnalysisParams& params) const {
    if (!params.language) return std::nullopt;
    const std::string& hash = params.source.contentHash;
    std::string language = *params.language;
    if (language == VoiceLanguage::autoLanguage) {
        const auto found = foundLanguage(hash);
        language = found ? found->language : std::string(VoiceLanguage::fallback);
    }
    const std::array<std::pair<TranscriberKind, bool>, 4> candidates{{{TranscriberKind::whisperLargeV3, true},
                                                                       {TranscriberKind::whisperLargeV3, false},
                                                                       {TranscriberKind::speechTranscriber, true},
                                                                       {TranscriberKind::speechTranscriber, false}}};
    for (const auto& [transcriber, aligned] : candidates) {
        const std::string key = fingerprint(hash, language, transcriber, aligned);
        if (auto stored = cache.load(key, params.kind.name, hash, params.assetId)) return stored;
    }
    return std::nullopt;
}

} // namespace korvel
