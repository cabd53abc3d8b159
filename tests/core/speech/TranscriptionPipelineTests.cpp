#include "Core/Speech/TranscriptionPipeline.hpp"

#include "Core/Wire/ModelsResultModel.hpp"
#include "tests/core/speech/SpeechFakes.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

namespace korvel {
namespace {

// A recogniser with a kind, a set of languages and a script of words.
class FakeTranscriber : public Transcriber {
public:
    FakeTranscriber(TranscriberKind kind, std::vector<std::string> languages) : kind_(kind), languages_(std::move(languages)) {}

    TranscriberKind kind() const override { return kind_; }
    bool supports(const std::string& language) override {
        ++supportQuestions;
        for (const auto& l : languages_)
            if (l == language || l == VoiceLanguage::plain(language)) return true;
        return false;
    }
    std::vector<RawWord> transcribe(std::span<const float>, const std::string& language, const JobContext& job) override {
        heardIn.push_back(language);
        job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds, 1, 1});
        if (fails) throw std::runtime_error("recogniser failed");
        return words;
    }
    void listening(const std::function<void(Transcriber&)>& body) override {
        ++listeningBodies;
        body(*this);
    }
    std::optional<LanguageGuess> languageHeard(std::span<const float>) override {
        ++detections;
        return guess;
    }

    std::vector<RawWord> words{{"Hello", 500'000, 900'000, 0.9}, {"world.", 1'000'000, 1'400'000, 0.8}};
    std::optional<LanguageGuess> guess;
    bool fails = false;
    int detections = 0;
    int listeningBodies = 0;
    int supportQuestions = 0;
    std::vector<std::string> heardIn;

private:
    TranscriberKind kind_;
    std::vector<std::string> languages_;
};

struct FakeModels : SpeechModelProviding {
    std::shared_ptr<Transcriber> quality;
    std::shared_ptr<EmissionModel> emission;
    // What an installation makes appear.
    std::shared_ptr<Transcriber> installedQuality;
    int started = 0;
    std::vector<EngineProgress> installProgress;
    int installs = 0;
    bool throwsOnAsk = false;
    std::set<std::string> catalogueLanguages{"en", "fr", "de", "ja"};

    std::shared_ptr<Transcriber> qualityTranscriber() override {
        if (throwsOnAsk) throw std::runtime_error("store unreadable");
        return quality;
    }
    std::shared_ptr<EmissionModel> emissionModel() override {
        if (throwsOnAsk) throw std::runtime_error("store unreadable");
        return emission;
    }
    void startInstallingIfNeeded() override { ++started; }
    void installAndWait(const JobContext& job) override {
        ++installs;
        job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::bytes, 10, 10});
        if (installedQuality) quality = installedQuality;
    }
    bool catalogueHears(const std::string& language) override {
        return catalogueLanguages.contains(VoiceLanguage::plain(language));
    }
};

// Two seconds of a tone over quiet: voiced from 0.5 s to 1.5 s.
struct Clip {
    std::vector<float> s48, s16;
    Clip() {
        s48.assign(96'000, 0.0f);
        s16.assign(32'000, 0.0f);
        for (size_t i = 24'000; i < 72'000; ++i) s48[i] = 0.3f * std::sin(static_cast<float>(i) * 0.06f);
        for (size_t i = 8'000; i < 24'000; ++i) s16[i] = 0.3f * std::sin(static_cast<float>(i) * 0.18f);
        for (size_t i = 0; i < s48.size(); ++i) s48[i] += 1e-4f * std::sin(static_cast<float>(i) * 1.3f);
    }
};

struct Bench {
    std::shared_ptr<FakeTranscriber> systemTranscriber = std::make_shared<FakeTranscriber>(TranscriberKind::speechTranscriber,
                                                                               std::vector<std::string>{"en", "fr"});
    std::shared_ptr<FakeTranscriber> whisper = std::make_shared<FakeTranscriber>(
        TranscriberKind::whisperLargeV3, std::vector<std::string>{"en", "fr", "de", "ja"});
    std::shared_ptr<FakeModels> models = std::make_shared<FakeModels>();
    TranscriptionPipeline pipeline{systemTranscriber, models};
    Clip clip;

    TranscriptionPipeline::Outcome run(const std::string& language, const JobContext& job = JobContext::silent()) {
        return pipeline.run(clip.s48, clip.s16, language, job);
    }
};

TEST(TranscriptionPipeline, AutoWithoutAQualityTranscriberIsEnglishUndetected) {
    Bench s;
    const auto outcome = s.run("auto");
    EXPECT_EQ(outcome.language, "en");
    EXPECT_FALSE(outcome.languageFound);
    EXPECT_EQ(outcome.transcriber, TranscriberKind::speechTranscriber);
    EXPECT_TRUE(outcome.provisional);
    EXPECT_EQ(s.whisper->detections, 0);
    EXPECT_EQ(s.models->started, 1);
    EXPECT_EQ(s.systemTranscriber->heardIn, std::vector<std::string>{"en"});
}

TEST(TranscriptionPipeline, AutoFindsTheLanguageAndHearsItInOneListeningBody) {
    Bench s;
    s.models->quality = s.whisper;
    s.whisper->guess = LanguageGuess{"de", 0.9};
    const auto outcome = s.run("auto");
    EXPECT_EQ(outcome.language, "de");
    EXPECT_TRUE(outcome.languageFound);
    EXPECT_EQ(outcome.transcriber, TranscriberKind::whisperLargeV3);
    EXPECT_TRUE(outcome.roughTimes);
    EXPECT_FALSE(outcome.provisional);
    EXPECT_EQ(s.whisper->listeningBodies, 1);
    EXPECT_EQ(s.whisper->heardIn, std::vector<std::string>{"de"});
}

TEST(TranscriptionPipeline, AutoWhoseLanguageTheSystemServesIsHeardByIt) {
    Bench s;
    s.models->quality = s.whisper;
    s.whisper->guess = LanguageGuess{"fr", 0.9};
    const auto outcome = s.run("auto");
    EXPECT_EQ(outcome.language, "fr");
    EXPECT_TRUE(outcome.languageFound);
    EXPECT_EQ(outcome.transcriber, TranscriberKind::speechTranscriber);
    EXPECT_FALSE(outcome.roughTimes);
    EXPECT_FALSE(outcome.provisional);
    EXPECT_TRUE(s.whisper->heardIn.empty());
}

TEST(TranscriptionPipeline, EnglishWithoutTheAlignmentModelStartsAnInstall) {
    Bench s;
    s.models->quality = s.whisper;
    const auto outcome = s.run("en-GB");
    EXPECT_EQ(outcome.transcriber, TranscriberKind::whisperLargeV3);
    EXPECT_FALSE(outcome.aligned);
    EXPECT_TRUE(outcome.provisional);
    EXPECT_FALSE(outcome.roughTimes);
    EXPECT_EQ(outcome.reheard, 0);
    EXPECT_EQ(s.models->started, 1);
    EXPECT_EQ(outcome.language, "en-GB");
    ASSERT_EQ(outcome.words.size(), 2u);
    EXPECT_EQ(outcome.sentences, (std::vector<SentenceSpan>{{0, 1}}));
}

TEST(TranscriptionPipeline, FrenchIsFinalFromEitherRecogniserButRoughFromWhisper) {
    Bench s;
    auto outcome = s.run("fr");
    EXPECT_EQ(outcome.transcriber, TranscriberKind::speechTranscriber);
    EXPECT_FALSE(outcome.provisional);
    EXPECT_FALSE(outcome.aligned);
    EXPECT_FALSE(outcome.roughTimes);
    EXPECT_EQ(s.models->started, 0);

    s.models->quality = s.whisper;
    outcome = s.run("de");
    EXPECT_EQ(outcome.transcriber, TranscriberKind::whisperLargeV3);
    EXPECT_TRUE(outcome.roughTimes);
    EXPECT_FALSE(outcome.provisional);
}

TEST(TranscriptionPipeline, ALanguageNobodyHearsWaitsForTheInstallThenFails) {
    Bench s;
    std::vector<EngineProgress> reports;
    JobContext job([&](const EngineProgress& p) { reports.push_back(p); });
    try {
        s.run("ja", job);
        FAIL();
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f.code, -32005);
        EXPECT_EQ(f.message, "No transcriber on this computer handles ja.");
    }
    EXPECT_EQ(s.models->installs, 1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].done, 800); // the installation's share ends at 0.8
    EXPECT_EQ(reports[0].total, 1000);
}

// A tag no model of the catalogue hears is refused before any download, at
// any length, with or without a quality transcriber installed.
TEST(TranscriptionPipeline, ALanguageNoCatalogueModelHearsFailsAtOnce) {
    const std::string longTag = std::string(10'000, 'q') + "-YY";
    for (const std::string& tag : {std::string("xx-YY"), longTag}) {
        for (bool withWhisper : {false, true}) {
            Bench s;
            if (withWhisper) s.models->quality = s.whisper;
            std::vector<EngineProgress> reports;
            try {
                s.run(tag, JobContext([&](const EngineProgress& p) { reports.push_back(p); }));
                FAIL() << tag.size();
            } catch (const EngineFailure& f) {
                EXPECT_EQ(f.code, -32005);
                EXPECT_EQ(f.message, "No transcriber on this computer handles " + tag + ".");
            }
            EXPECT_EQ(s.models->installs, 0);
            EXPECT_EQ(s.models->started, 0);
            EXPECT_TRUE(reports.empty());
        }
    }
}

TEST(TranscriptionPipeline, ALanguageTheInstallBringsIsHeardAfterIt) {
    Bench s;
    s.models->installedQuality = s.whisper;
    std::vector<EngineProgress> reports;
    const auto outcome = s.run("ja", JobContext([&](const EngineProgress& p) { reports.push_back(p); }));
    EXPECT_EQ(outcome.transcriber, TranscriberKind::whisperLargeV3);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].done, 1000); // the recognition reports inside 0.8 to 1.0
}

TEST(TranscriptionPipeline, AFailingSystemRecognitionInstallsAndRetriesWithWhisper) {
    Bench s;
    s.systemTranscriber->fails = true;
    s.models->installedQuality = s.whisper;
    const auto outcome = s.run("fr");
    EXPECT_EQ(outcome.transcriber, TranscriberKind::whisperLargeV3);
    EXPECT_EQ(s.models->installs, 1);
    EXPECT_EQ(s.whisper->heardIn, std::vector<std::string>{"fr"});

    Bench alone;
    alone.systemTranscriber->fails = true;
    EXPECT_THROW(alone.run("fr"), std::runtime_error); // nothing to retry with: the system's error
}

TEST(TranscriptionPipeline, AlignmentRunsWithTheEmissionModel) {
    Bench s;
    s.models->quality = s.whisper;
    auto table = std::make_shared<fakes::TableEmissionModel>();
    table->say("HELLO", 520'000);
    table->say("WORLD", 1'020'000);
    s.models->emission = table;
    const auto outcome = s.run("en");
    EXPECT_TRUE(outcome.aligned);
    EXPECT_FALSE(outcome.provisional);
    EXPECT_EQ(s.models->started, 0);
    EXPECT_FALSE(table->requests.empty());
    EXPECT_EQ(s.pipeline.plan("en"), (TranscriptionPipeline::Plan{TranscriberKind::whisperLargeV3, true}));
}

TEST(TranscriptionPipeline, AnEmptyRecognitionStillGivesAnOutcome) {
    Bench s;
    s.systemTranscriber->words.clear();
    const auto outcome = s.run("en");
    EXPECT_TRUE(outcome.words.empty());
    EXPECT_TRUE(outcome.sentences.empty());
    EXPECT_TRUE(outcome.fillers.empty());
}

TEST(TranscriptionPipeline, PlanFinderAndAskingForModels) {
    Bench s;
    EXPECT_EQ(s.pipeline.plan("fr"), (TranscriptionPipeline::Plan{TranscriberKind::speechTranscriber, false}));
    EXPECT_EQ(s.pipeline.languageFinder(), std::nullopt);
    s.pipeline.askForMissingModels("fr");
    EXPECT_EQ(s.models->started, 0);
    s.pipeline.askForMissingModels("en-US");
    EXPECT_EQ(s.models->started, 1);
    s.models->throwsOnAsk = true;
    s.pipeline.askForMissingModels("en"); // errors count as missing, never thrown
    EXPECT_EQ(s.models->started, 2);
    s.models->throwsOnAsk = false;
    s.models->quality = s.whisper;
    EXPECT_EQ(s.pipeline.languageFinder(), TranscriberKind::whisperLargeV3);
}

TEST(TranscriptionPipeline, AShortGapHearsNothingWithoutAskingTheModel) {
    fakes::TableEmissionModel model;
    std::vector<float> samples(32'000, 0.1f);
    // 10 ms widened by 50 ms each side: 110 ms = 1760 samples, heard.
    model.say("A", 990'000); // on the 20 ms grid of the widened gap
    EXPECT_EQ(TranscriptionPipeline::heardInGap(model, samples, 1'000'000, 1'010'000), "A");
    ASSERT_EQ(model.requests.size(), 1u);
    EXPECT_EQ(model.requests[0].startUs, 950'000);
    // At the very start only 40 ms remain before the end: 640 samples, nothing heard.
    EXPECT_EQ(TranscriptionPipeline::heardInGap(model, std::span<const float>(samples).first(640), 0, 0), "");
    EXPECT_EQ(model.requests.size(), 1u);
}

TEST(ModelsResultModel, EncodesItsKeysAndReadiness) {
    ModelsResultModel none{{}, ModelsResultModel::readyOf({}), std::nullopt};
    EXPECT_EQ(encoding(none).canonical(), R"({"models":[],"ready":true})");
    std::vector<ModelStatusModel> rows{{"a", true, false, 5, "MIT"}, {"b", true, true, 7, "Apache-2.0"}};
    ModelsResultModel all{rows, ModelsResultModel::readyOf(rows), "The download of b failed its checksum."};
    EXPECT_EQ(encoding(all).canonical(),
              R"({"lastError":"The download of b failed its checksum.","models":[{"byteLength":5,"downloadable":false,)"
              R"("id":"a","installed":true,"license":"MIT"},{"byteLength":7,"downloadable":true,"id":"b","installed":true,)"
              R"("license":"Apache-2.0"}],"ready":true})");
    rows[1].installed = false;
    EXPECT_FALSE(ModelsResultModel::readyOf(rows));
    EXPECT_EQ(decoded<ModelsResultModel>(encoding(all)), all);
}

} // namespace
} // namespace korvel
