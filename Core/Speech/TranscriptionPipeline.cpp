#include "Core/Speech/TranscriptionPipeline.hpp"

#include "Core/Analysis/SilenceDetector.hpp"
#include "Core/Speech/CTCAligner.hpp"
#include "Core/Speech/CTCViterbi.hpp"
#include "Core/Speech/FillerDetector.hpp"
#include "Core/Speech/Rehearing.hpp"
#include "Core/Speech/VoiceLanguage.hpp"
#include "Core/Speech/WordCloser.hpp"

#include <algorithm>

namespace korvel {

namespace {

bool english(const std::string& language) { return VoiceLanguage::plain(language) == "en"; }

EngineFailure nobodyHears(const std::string& language) {
    return EngineFailure::languageNotHeard("No transcriber on this computer handles " + language + ".");
}

// The recognition's share of the job: the first three quarters when alignment follows.
JobContext recognitionShare(const JobContext& job, bool aligning) { return aligning ? job.part(0, 0.75) : job; }

} // namespace

TranscriptionPipeline::TranscriptionPipeline(std::shared_ptr<Transcriber> systemTranscriber, std::shared_ptr<SpeechModelProviding> models)
    : systemTranscriber(std::move(systemTranscriber)), models(std::move(models)) {}

std::vector<IntRange> TranscriptionPipeline::voice(std::span<const double> levels) {
    const auto durationUs = static_cast<int64_t>(levels.size()) * SilenceDetector::windowUs;
    const SilenceDetector::Result measured = SilenceDetector::analyze(levels, durationUs);
    std::vector<IntRange> regions;
    if (measured.measurement.lowSeparation) return regions;
    for (const SpeechRegion& r : SilenceDetector::speechRegions(measured.runs, durationUs, 0)) regions.push_back({r.startUs, r.endUs});
    return regions;
}

std::string TranscriptionPipeline::heardInGap(EmissionModel& model, std::span<const float> samples16k, int64_t startUs,
                                              int64_t endUs) {
    const int64_t first = std::max<int64_t>(0, (startUs - 50'000) * 16'000 / 1'000'000);
    const int64_t end = std::min<int64_t>((endUs + 50'000) * 16'000 / 1'000'000, static_cast<int64_t>(samples16k.size()));
    if (end - first < 800) return {};
    const CTCEmissions emissions = model.logProbabilities(
        samples16k.subspan(static_cast<size_t>(first), static_cast<size_t>(end - first)), first * 1'000'000 / 16'000);
    return CTCViterbi::greedy(emissions, model.vocabulary());
}

std::shared_ptr<Transcriber> TranscriptionPipeline::quality(const std::string& language) const {
    if (!english(language) && systemTranscriber->supports(language)) return nullptr;
    auto q = models->qualityTranscriber();
    if (q && q->supports(language)) return q;
    return nullptr;
}

TranscriptionPipeline::Plan TranscriptionPipeline::plan(const std::string& language) const {
    auto q = quality(language);
    const bool aligned = VoiceLanguage::plain(language) == "en" && models->emissionModel() != nullptr;
    return {q ? q->kind() : systemTranscriber->kind(), aligned};
}

std::optional<TranscriberKind> TranscriptionPipeline::languageFinder() const {
    auto q = models->qualityTranscriber();
    if (!q) return std::nullopt;
    return q->kind();
}

void TranscriptionPipeline::askForMissingModels(const std::string& language) const noexcept {
    if (!english(language)) return;
    bool missing = false;
    try {
        missing = models->qualityTranscriber() == nullptr;
    } catch (...) {
        missing = true;
    }
    try {
        missing = models->emissionModel() == nullptr || missing;
    } catch (...) {
        missing = true;
    }
    if (missing) models->startInstallingIfNeeded();
}

TranscriptionPipeline::Outcome TranscriptionPipeline::run(std::span<const float> samples48k, std::span<const float> samples16k,
                                                          const std::string& language, const JobContext& job) const {
    const std::vector<double> levels = SilenceDetector::windowLevels(samples48k, SilenceDetector::windowFrames);
    return runOnLevels(levels, samples16k, language, job);
}

TranscriptionPipeline::Outcome TranscriptionPipeline::runOnLevels(std::span<const double> levels,
                                                                  std::span<const float> samples16k,
                                                                  const std::string& language, const JobContext& job) const {
    if (language != VoiceLanguage::autoLanguage) return hear(language, false, levels, samples16k, job);

    auto q = models->qualityTranscriber();
    if (!q) return hear(std::string(VoiceLanguage::fallback), false, levels, samples16k, job);
    const std::vector<IntRange> voiced = voice(levels);
    const int64_t firstVoiceUs = voiced.empty() ? 0 : voiced.front().lower;

    struct Heard {
        std::optional<LanguageGuess> guess;
        std::string language;
        std::optional<std::vector<RawWord>> words;
        std::shared_ptr<EmissionModel> emission;
    };
    Heard heard = listening(*q, [&](Transcriber& t) {
        Heard h;
        h.guess = VoiceLanguage::find(t, samples16k, firstVoiceUs);
        h.language = h.guess ? h.guess->language : std::string(VoiceLanguage::fallback);
        if (!quality(h.language)) return h;
        const bool en = english(h.language);
        if (en) h.emission = models->emissionModel();
        if (en && !h.emission) models->startInstallingIfNeeded();
        Task::checkCancellation();
        h.words = t.transcribe(samples16k, h.language, recognitionShare(job, h.emission != nullptr));
        return h;
    });
    if (heard.words) {
        return finish(*heard.words, *q, q, heard.emission, heard.language, heard.guess.has_value(), levels, samples16k, job);
    }
    return hear(heard.language, heard.guess.has_value(), levels, samples16k, job);
}

TranscriptionPipeline::Outcome TranscriptionPipeline::hear(const std::string& language, bool languageFound,
                                                           std::span<const double> levels, std::span<const float> samples16k,
                                                           const JobContext& job) const {
    const bool en = english(language);
    auto q = quality(language);
    std::shared_ptr<EmissionModel> emission = en ? models->emissionModel() : nullptr;
    JobContext current = job;
    std::shared_ptr<Transcriber> recogniser;
    if (q) {
        if (en && !emission) models->startInstallingIfNeeded();
        recogniser = q;
    } else if (systemTranscriber->supports(language)) {
        if (en) models->startInstallingIfNeeded();
        if (!systemTranscriber->supports(language)) throw nobodyHears(language);
        recogniser = systemTranscriber;
    } else if (!models->catalogueHears(language)) {
        // No download could bring a recogniser for it ("xx-YY", a tag of any
        // length): answered now, not after fetching models in vain.
        throw nobodyHears(language);
    } else {
        models->installAndWait(job.part(0, 0.8));
        q = quality(language);
        emission = en ? models->emissionModel() : nullptr;
        current = job.part(0.8, 1.0);
        if (q) recogniser = q;
        else if (systemTranscriber->supports(language)) recogniser = systemTranscriber;
    }
    if (!recogniser) throw nobodyHears(language);

    std::vector<RawWord> words;
    try {
        Task::checkCancellation();
        words = recogniser->transcribe(samples16k, language, recognitionShare(current, emission != nullptr));
    } catch (const Cancelled&) {
        throw;
    } catch (...) {
        if (q) throw;
        // The system recogniser failed: install the quality models once and try with them.
        const std::exception_ptr systemError = std::current_exception();
        models->installAndWait(JobContext::silent());
        auto second = models->qualityTranscriber();
        if (!second || !second->supports(language)) std::rethrow_exception(systemError);
        std::shared_ptr<EmissionModel> secondEmission = en ? models->emissionModel() : nullptr;
        Task::checkCancellation();
        words = second->transcribe(samples16k, language, recognitionShare(current, secondEmission != nullptr));
        return finish(words, *second, second, secondEmission, language, languageFound, levels, samples16k, current);
    }
    return finish(words, *recogniser, q, emission, language, languageFound, levels, samples16k, current);
}

TranscriptionPipeline::Outcome TranscriptionPipeline::finish(const std::vector<RawWord>& heard, Transcriber& by,
                                                             const std::shared_ptr<Transcriber>& quality,
                                                             const std::shared_ptr<EmissionModel>& emission,
                                                             const std::string& language, bool languageFound,
                                                             std::span<const double> levels,
                                                             std::span<const float> samples16k, const JobContext& job) const {
    const bool en = english(language);
    Task::checkCancellation();
    std::vector<RawWord> words;
    for (const RawWord& word : heard)
        for (RawWord& token : WordTokens::split(word)) words.push_back(std::move(token));

    std::vector<IntRange> uncertain;
    int64_t reheard = 0;
    if (emission) {
        const CTCAligner aligner(emission, CTCAligner::defaultMaximumShiftUs);
        const CTCAligner::Placement placement = aligner.place(words, samples16k, 0, std::nullopt, job.part(0.75, 1.0));
        const std::vector<IntRange> voiced = voice(levels);
        Rehearing::Result result = Rehearing(by, aligner).heal(placement, samples16k, voiced, language, job);
        words = std::move(result.placement.words);
        uncertain = std::move(result.uncertain);
        reheard = result.reheard;
    }

    Task::checkCancellation();
    const std::vector<RawWord> closed = WordCloser::close(WordCloser::withoutPhantoms(words, levels, en), levels);
    std::vector<FillerFinding> fillers = FillerDetector::candidates(closed, levels, uncertain, language);
    if (emission) {
        fillers = FillerDetector::confirmed(fillers, [&](int64_t startUs, int64_t endUs) {
            return heardInGap(*emission, samples16k, startUs, endUs);
        });
    }

    Task::checkCancellation();
    Outcome outcome;
    for (const RawWord& w : closed) {
        outcome.words.push_back({w.text, w.startUs, w.endUs, w.confidence, FillerDetector::isFillerSound(w.text, language)});
    }
    outcome.transcriber = by.kind();
    outcome.provisional = en && (!quality || !emission);
    outcome.sentences = SentenceSplitter::split(closed);
    outcome.fillers = std::move(fillers);
    outcome.aligned = emission != nullptr;
    outcome.reheard = reheard;
    outcome.language = language;
    outcome.languageFound = languageFound;
    outcome.roughTimes = !en && by.kind() == TranscriberKind::whisperLargeV3;
    return outcome;
}

} // namespace korvel
