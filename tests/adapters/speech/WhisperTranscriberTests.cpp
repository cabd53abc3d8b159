#include "Whisper/WhisperTranscriber.hpp"

#include "tests/support/SpeechModels.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stop_token>
#include <thread>

namespace korvel {
namespace {

using Segment = WhisperTranscriber::Segment;

TEST(WhisperTranscriber, WordsOfSegments) {
    struct Case {
        const char* text;
        std::vector<float> probabilities;
        std::optional<RawWord> word;
    };
    const std::vector<Case> cases{
        {"  Hello \n", {0.9f, 0.7f}, RawWord{"Hello", 1'500'000, 2'300'000, 0.8}},
        {" [BLANK_AUDIO]", {0.5f}, std::nullopt},
        {"(music)", {0.5f}, std::nullopt},
        {"<|endoftext|>", {0.5f}, std::nullopt},
        {"  \n ", {}, std::nullopt},
        {nullptr, {}, std::nullopt},
        {"Bye", {}, RawWord{"Bye", 1'500'000, 2'300'000, std::nullopt}},
        {"sure", {1.0f, 1.0f, 1.2f}, RawWord{"sure", 1'500'000, 2'300'000, 1.0}},
    };
    for (const Case& c : cases) {
        auto word = WhisperTranscriber::word(Segment{c.text, 150, 230, c.probabilities});
        ASSERT_EQ(word.has_value(), c.word.has_value()) << (c.text ? c.text : "null");
        if (!word) continue;
        EXPECT_EQ(word->text, c.word->text);
        EXPECT_EQ(word->startUs, c.word->startUs);
        EXPECT_EQ(word->endUs, c.word->endUs);
        ASSERT_EQ(word->confidence.has_value(), c.word->confidence.has_value());
        if (word->confidence) {
            EXPECT_NEAR(*word->confidence, *c.word->confidence, 1e-6);
        }
    }
}

TEST(WhisperTranscriber, ProgressIsClampedToTheDuration) {
    EXPECT_EQ(WhisperTranscriber::progress(2'000'000, 150).done, 2'000'000);
    EXPECT_EQ(WhisperTranscriber::progress(2'000'000, -5).done, 0);
    EXPECT_EQ(WhisperTranscriber::progress(2'000'000, 33).done, 660'000);
    EXPECT_EQ(WhisperTranscriber::progress(2'000'000, 33).total, 2'000'000);
    EXPECT_EQ(WhisperTranscriber::progress(2'000'000, 33).unit, EngineProgress::Unit::microseconds);
}

TEST(WhisperTranscriber, LanguagesHeard) {
    struct Case {
        const char* language;
        bool englishOnly;
        bool heard;
    };
    for (const Case& c : std::vector<Case>{{"en-US", true, true}, {"de", true, false}, {"auto", false, false},
                                           {"DE", false, true}, {"pt_BR", false, true}, {"xx", false, false}}) {
        EXPECT_EQ(WhisperTranscriber::hears(c.language, c.englishOnly), c.heard) << c.language;
    }
}

TEST(WhisperTranscriber, ErrorBufferReadsUpToTheFirstZeroAsUTF8) {
    char buffer[WhisperTranscriber::errorBufferSize] = {};
    EXPECT_EQ(WhisperTranscriber::thrown(buffer), "");
    std::strcpy(buffer, "std::bad_alloc");
    EXPECT_EQ(WhisperTranscriber::thrown(buffer), "std::bad_alloc");
    std::memset(buffer, 'a', sizeof buffer);
    buffer[3] = '\xff';
    const std::string text = WhisperTranscriber::thrown(buffer);
    EXPECT_EQ(text.size(), 255u + 3u); // every byte read, the bad one replaced
    EXPECT_EQ(text.substr(3, 3), "\xEF\xBF\xBD");
}

TEST(WhisperTranscriber, AMissingModelFailsToLoad) {
    WhisperTranscriber t("/nonexistent/model.bin", "/nonexistent/vad.bin", false);
    std::vector<float> samples(16'000, 0.0f);
    try {
        t.transcribe(samples, "en", JobContext::silent());
        FAIL();
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f.code, -32603);
        EXPECT_EQ(f.message, "Could not load the speech model.");
    }
}

TEST(WhisperTranscriber, TooLongARecordingIsRefusedBeforeAnythingIsLoaded) {
    // Never read: the count alone is refused.
    static float one = 0;
    const std::span<const float> huge(&one, size_t{1} << 31);
    WhisperTranscriber t("/nonexistent/model.bin", "/nonexistent/vad.bin", false);
    for (int call = 0; call < 2; ++call) {
        try {
            if (call == 0) {
                t.transcribe(huge, "en", JobContext::silent());
            } else {
                t.languageHeard(huge);
            }
            FAIL();
        } catch (const EngineFailure& f) {
            EXPECT_EQ(f.code, -32603);
            EXPECT_EQ(f.message, "The recording is too long for the speech model.");
        }
    }
}

TEST(WhisperTranscriber, AnEnglishOnlyModelDetectsNothingWithoutLoading) {
    WhisperTranscriber t("/nonexistent/model.bin", "/nonexistent/vad.bin", true);
    std::vector<float> samples(16'000, 0.1f);
    EXPECT_EQ(t.languageHeard(samples), std::nullopt);
}

TEST(WhisperTranscriber, RecognisesSpeechWithTheGeneratedModel) {
    WhisperTranscriber t(SpeechModels::path("whisper-tiny.bin").string(), SpeechModels::path("silero-vad.bin").string(), false);
    const std::vector<float> samples = SpeechModels::samples("hello-16k.f32");
    std::vector<EngineProgress> reports;
    JobContext job([&](const EngineProgress& p) { reports.push_back(p); });
    const std::vector<RawWord> words = t.transcribe(samples, "en", job);
    const auto durationUs = static_cast<int64_t>(samples.size()) * 1'000'000 / 16'000;
    ASSERT_FALSE(words.empty());
    for (const RawWord& w : words) {
        EXPECT_FALSE(w.text.empty());
        EXPECT_LE(0, w.startUs);
        EXPECT_LE(w.startUs, w.endUs);
        EXPECT_LE(w.endUs, durationUs + 10'000);
        ASSERT_TRUE(w.confidence.has_value());
        EXPECT_GE(*w.confidence, 0.0);
        EXPECT_LE(*w.confidence, 1.0);
    }
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().total, durationUs);
}

TEST(WhisperTranscriber, ListeningLoadsOnceAndDetectsALanguage) {
    WhisperTranscriber t(SpeechModels::path("whisper-tiny.bin").string(), SpeechModels::path("silero-vad.bin").string(), false);
    const std::vector<float> samples = SpeechModels::samples("hello-16k.f32");
    std::optional<LanguageGuess> guess;
    t.listening([&](Transcriber& listener) {
        guess = listener.languageHeard(samples);
        EXPECT_EQ(listener.kind(), TranscriberKind::whisperLargeV3);
    });
    ASSERT_TRUE(guess.has_value());
    EXPECT_FALSE(guess->language.empty());
    EXPECT_GE(guess->probability, 0.0);
    EXPECT_LE(guess->probability, 1.0);
    EXPECT_EQ(t.languageHeard({}), std::nullopt);
}

TEST(WhisperTranscriber, CancellingStopsTheRecognitionWithTheCancellationError) {
    WhisperTranscriber t(SpeechModels::path("whisper-tiny.bin").string(), SpeechModels::path("silero-vad.bin").string(), false);
    const std::vector<float> samples = SpeechModels::samples("hello-16k.f32");
    std::stop_source stop;
    Task::Scope scope(stop.get_token());
    // Cancelled from inside the recognition, at its first progress report.
    JobContext job([&](const EngineProgress&) { stop.request_stop(); });
    EXPECT_THROW(t.transcribe(samples, "en", job), Cancelled);
}

} // namespace
} // namespace korvel
