// The system transcriber on real speech, and the whole transcription
// pipeline over installed (generated) models.

#include "Adapters/Models/InstalledSpeechModels.hpp"
#include "Adapters/Models/ModelSources.hpp"
#include "Adapters/Speech/PocketSphinxTranscriber.hpp"
#include "Core/Digest.hpp"
#include "Core/Speech/TranscriptionPipeline.hpp"
#include "Whisper/WhisperTranscriber.hpp"
#include "tests/support/HttpServer.hpp"
#include "tests/support/SpeechModels.hpp"

#include <gtest/gtest.h>

namespace korvel {
namespace {

namespace fs = std::filesystem;

// Speech starts after half a second of quiet: see the fixture.
constexpr int64_t speechStartUs = 500'000;

TEST(PocketSphinxTranscriber, HearsEnglishSpeechWithTimesInsideIt) {
    PocketSphinxTranscriber sphinx;
    ASSERT_TRUE(sphinx.supports("en-US"));
    const std::vector<float> samples = SpeechModels::samples("hello-16k.f32");
    const auto durationUs = static_cast<int64_t>(samples.size()) * 1'000'000 / 16'000;
    std::vector<EngineProgress> reports;
    const std::vector<RawWord> words = sphinx.transcribe(samples, "en", JobContext([&](const EngineProgress& p) { reports.push_back(p); }));
    ASSERT_GE(words.size(), 3u);
    std::string text;
    for (const RawWord& w : words) {
        text += w.text + " ";
        EXPECT_GE(w.startUs, speechStartUs - 200'000) << w.text;
        EXPECT_LE(w.endUs, durationUs - 300'000) << w.text;
        EXPECT_LT(w.startUs, w.endUs) << w.text;
        ASSERT_TRUE(w.confidence.has_value());
    }
    EXPECT_NE(text.find("hello"), std::string::npos) << text;
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().done, durationUs);
    EXPECT_EQ(reports.back().total, durationUs);
}

TEST(PocketSphinxTranscriber, MissingModelOrLanguageIsTheUnsupportedFailure) {
    PocketSphinxTranscriber missing("/nonexistent/pocketsphinx");
    EXPECT_FALSE(missing.supports("en"));
    std::vector<float> samples(1600, 0.0f);
    try {
        missing.transcribe(samples, "en", JobContext::silent());
        FAIL();
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f.code, -32002);
        EXPECT_EQ(f.message, "System speech recognition is not available on this computer.");
    }
    PocketSphinxTranscriber sphinx;
    EXPECT_FALSE(sphinx.supports("fr-FR"));
    EXPECT_FALSE(sphinx.supports("auto"));
    try {
        sphinx.transcribe(samples, "fr-FR", JobContext::silent());
        FAIL();
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f.code, -32002);
        EXPECT_EQ(f.message, "System speech recognition does not handle fr-FR.");
    }
    EXPECT_EQ(sphinx.languageHeard(samples), std::nullopt);
    EXPECT_TRUE(sphinx.transcribe({}, "en", JobContext::silent()).empty());
}

TEST(PocketSphinxTranscriber, LongSoundIsCutIntoUtterancesOfAtMostThirtySeconds) {
    std::vector<float> samples(75 * 16'000, 0.3f);
    samples[static_cast<size_t>(25 * 16'000 + 5)] = 0; // a quiet window at 25 s
    for (int i = 0; i < 160; ++i) samples[static_cast<size_t>(25 * 16'000 + i)] = 0;
    const std::vector<int64_t> ends = PocketSphinxTranscriber::utteranceEnds(samples);
    ASSERT_GE(ends.size(), 3u);
    EXPECT_EQ(ends.front(), 25 * 16'000 + 80);
    int64_t start = 0;
    for (int64_t end : ends) {
        EXPECT_LE(end - start, PocketSphinxTranscriber::maximumUtteranceSamples);
        start = end;
    }
    EXPECT_EQ(ends.back(), static_cast<int64_t>(samples.size()));
}

// A store over a test catalogue with the standard ids and the generated files.
struct InstalledModels {
    testing::HttpServer server;
    fs::path root;
    std::shared_ptr<ModelStore> store;
    std::shared_ptr<InstalledSpeechModels> models;

    explicit InstalledModels(const std::string& name, bool withAlignment) {
        root = fs::path(KORVEL_TEST_TMP) / "speech-pipeline" / name;
        fs::remove_all(root);
        auto entry = [&](const ModelEntry& standard, const std::string& fixture) {
            const std::string body = SpeechModels::bytesOf(SpeechModels::path(fixture));
            server.route(standard.id, testing::HttpServer::Reply(200, body));
            ModelEntry e = standard;
            e.sha256 = Digest::sha256(body);
            e.byteLength = static_cast<int64_t>(body.size());
            return e;
        };
        std::vector<ModelEntry> catalog{entry(ModelCatalog::whisperLargeV3(), "whisper-tiny.bin"),
                                        entry(ModelCatalog::sileroVad(), "silero-vad.bin"),
                                        entry(ModelCatalog::ctcLv60(), "emission-package.zip")};
        store = ModelStore::make(root, catalog, std::make_shared<KorvelAPIModelSource>(server.base()));
        if (withAlignment) store->install(std::nullopt, JobContext::silent());
        else store->install(std::vector<std::string>{catalog[0].id, catalog[1].id}, JobContext::silent());
        models = std::make_shared<InstalledSpeechModels>(
            store, root / "compiled", catalog[0],
            [](const std::string& model, const std::string& vad) { return std::make_shared<WhisperTranscriber>(model, vad, false); },
            catalog[1], catalog[2]);
    }
};

void expectWordsInside(const TranscriptionPipeline::Outcome& outcome, int64_t durationUs) {
    for (const auto& w : outcome.words) {
        EXPECT_LE(0, w.startUs) << w.text;
        EXPECT_LE(w.startUs, w.endUs) << w.text;
        EXPECT_LE(w.endUs, durationUs) << w.text;
    }
    for (const SentenceSpan& s : outcome.sentences) {
        EXPECT_LE(0, s.firstWord);
        EXPECT_LT(s.lastWord, static_cast<int64_t>(outcome.words.size()));
    }
}

TEST(TranscriptionPipelineEndToEnd, WhisperWordsAreAlignedWithTheInstalledModel) {
    InstalledModels installed("aligned", true);
    ASSERT_TRUE(installed.store->status().ready());
    const TranscriptionPipeline pipeline(std::make_shared<PocketSphinxTranscriber>(), installed.models);
    EXPECT_EQ(pipeline.plan("en"), (TranscriptionPipeline::Plan{TranscriberKind::whisperLargeV3, true}));
    EXPECT_EQ(pipeline.languageFinder(), TranscriberKind::whisperLargeV3);
    const std::vector<float> s16 = SpeechModels::samples("hi-16k.f32");
    const std::vector<float> s48 = SpeechModels::samples("hi-48k.f32");
    const TranscriptionPipeline::Outcome outcome = pipeline.run(s48, s16, "en-US", JobContext::silent());
    EXPECT_EQ(outcome.transcriber, TranscriberKind::whisperLargeV3);
    EXPECT_TRUE(outcome.aligned);
    EXPECT_FALSE(outcome.provisional);
    EXPECT_FALSE(outcome.roughTimes);
    EXPECT_EQ(outcome.language, "en-US");
    expectWordsInside(outcome, static_cast<int64_t>(s16.size()) * 1'000'000 / 16'000);
    EXPECT_TRUE(fs::is_directory(installed.root / "compiled" / (ModelCatalog::ctcLv60().sha256 + ".mlmodelc")) ||
                !fs::is_empty(installed.root / "compiled"));
}

TEST(TranscriptionPipelineEndToEnd, WithoutTheAlignmentModelTheWordsAreProvisional) {
    InstalledModels installed("unaligned", false);
    const TranscriptionPipeline pipeline(std::make_shared<PocketSphinxTranscriber>(), installed.models);
    EXPECT_EQ(pipeline.plan("en"), (TranscriptionPipeline::Plan{TranscriberKind::whisperLargeV3, false}));
    const std::vector<float> s16 = SpeechModels::samples("hi-16k.f32");
    const std::vector<float> s48 = SpeechModels::samples("hi-48k.f32");
    const TranscriptionPipeline::Outcome outcome = pipeline.run(s48, s16, "auto", JobContext::silent());
    EXPECT_TRUE(outcome.languageFound);
    EXPECT_FALSE(outcome.aligned);
    expectWordsInside(outcome, static_cast<int64_t>(s16.size()) * 1'000'000 / 16'000);
    // The missing alignment model is being installed in the background.
    installed.store->waitForBackground();
}

TEST(TranscriptionPipelineEndToEnd, TheSystemTranscriberServesWhenNoModelIsInstalled) {
    struct Nothing : SpeechModelProviding {
        std::shared_ptr<Transcriber> qualityTranscriber() override { return nullptr; }
        std::shared_ptr<EmissionModel> emissionModel() override { return nullptr; }
        void startInstallingIfNeeded() override { ++asked; }
        int asked = 0;
    };
    auto nothing = std::make_shared<Nothing>();
    const TranscriptionPipeline pipeline(std::make_shared<PocketSphinxTranscriber>(), nothing);
    const std::vector<float> s16 = SpeechModels::samples("hi-16k.f32");
    const std::vector<float> s48 = SpeechModels::samples("hi-48k.f32");
    const TranscriptionPipeline::Outcome outcome = pipeline.run(s48, s16, "auto", JobContext::silent());
    EXPECT_EQ(outcome.transcriber, TranscriberKind::speechTranscriber);
    EXPECT_EQ(outcome.language, "en");
    EXPECT_FALSE(outcome.languageFound);
    EXPECT_TRUE(outcome.provisional);
    EXPECT_FALSE(outcome.words.empty());
    EXPECT_EQ(nothing->asked, 1);
    expectWordsInside(outcome, static_cast<int64_t>(s16.size()) * 1'000'000 / 16'000);
}

} // namespace
} // namespace korvel
