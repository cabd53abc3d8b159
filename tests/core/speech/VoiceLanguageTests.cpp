#include "Core/Speech/VoiceLanguage.hpp"

#include "SpeechFakes.hpp"

#include <gtest/gtest.h>

using namespace korvel;

TEST(VoiceLanguage, PlainForm) {
    const std::pair<std::string, std::string> cases[] = {
        {" en-US ", "en"}, {"pt_BR", "pt"}, {"ZH-Hant-TW", "zh"}, {"_fr", "fr"}, {"\tDE\t", "de"},
        {"", ""},          {"-_-", "-_-"}, {"en\n", "en\n"},      {"\u00A0es", "es"}, {"\u00C9S-x", "\u00E9s"},
    };
    for (const auto& [tag, plain] : cases) EXPECT_EQ(VoiceLanguage::plain(tag), plain) << tag;
    for (const char* tag : {"EN_gb", " en ", "en"}) EXPECT_TRUE(VoiceLanguage::isEnglish(tag)) << tag;
    for (const char* tag : {"eng", "", "de-en"}) EXPECT_FALSE(VoiceLanguage::isEnglish(tag)) << tag;
}

TEST(VoiceLanguage, WindowStarts) {
    struct Case {
        int64_t firstVoiceUs, durationUs;
        std::vector<int64_t> starts;
    };
    const Case cases[] = {
        {0, 0, {}},
        {0, 999'999, {}},
        {0, 1'000'000, {0}},
        {2'000'000, 10'000'000, {2'000'000}},
        {0, 90'000'000, {0, 30'000'000, 60'000'000}},
        {5'000'000, 100'000'000, {5'000'000, 66'666'666}},
        {-3'000'000, 90'000'000, {0, 30'000'000, 60'000'000}},
        // A first voice too close to the end gives way to the thirds.
        {9'500'000, 10'000'000, {3'333'333}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(VoiceLanguage::windowStarts(c.firstVoiceUs, c.durationUs), c.starts) << c.firstVoiceUs << " " << c.durationUs;
}

TEST(VoiceLanguage, FindStopsAtASureGuess) {
    struct Case {
        const char* name;
        std::vector<std::optional<LanguageGuess>> guesses;
        std::optional<LanguageGuess> found;
        size_t asked;
    };
    const Case cases[] = {
        {"sure second", {LanguageGuess{"de", 0.3}, LanguageGuess{"fr", 0.6}, LanguageGuess{"it", 0.9}}, LanguageGuess{"fr", 0.6}, 2},
        {"exactly sure", {LanguageGuess{"es", 0.5}}, LanguageGuess{"es", 0.5}, 1},
        {"ties keep the first", {LanguageGuess{"de", 0.3}, LanguageGuess{"fr", 0.3}, LanguageGuess{"it", 0.2}}, LanguageGuess{"de", 0.3}, 3},
        {"zeros are no guess", {LanguageGuess{"de", 0}, LanguageGuess{"fr", 0}, LanguageGuess{"it", 0}}, std::nullopt, 3},
        {"nothing heard", {std::nullopt, std::nullopt, LanguageGuess{"nl", 0.1}}, LanguageGuess{"nl", 0.1}, 3},
    };
    const std::vector<float> samples(90 * 16'000);
    for (const Case& c : cases) {
        fakes::ScriptedTranscriber transcriber;
        transcriber.guesses = c.guesses;
        EXPECT_EQ(VoiceLanguage::find(transcriber, samples, 0), c.found) << c.name;
        EXPECT_EQ(transcriber.detections.size(), c.asked) << c.name;
    }
}

TEST(VoiceLanguage, FindHearsEachWindowsOwnSamples) {
    const std::vector<float> samples(100 * 16'000);
    fakes::ScriptedTranscriber transcriber;
    EXPECT_EQ(VoiceLanguage::find(transcriber, samples, 5'000'000), std::nullopt);
    ASSERT_EQ(transcriber.detections.size(), 2u);
    EXPECT_EQ(transcriber.detections[0].first, samples.data() + 80'000);
    EXPECT_EQ(transcriber.detections[0].count, 480'000u);
    EXPECT_EQ(transcriber.detections[1].first, samples.data() + 1'066'666);
    EXPECT_EQ(transcriber.detections[1].count, 480'000u);

    // A window that would run past the end is cut there.
    const std::vector<float> shorter(40 * 16'000);
    fakes::ScriptedTranscriber late;
    VoiceLanguage::find(late, shorter, 20'000'000);
    ASSERT_EQ(late.detections.size(), 1u);
    EXPECT_EQ(late.detections[0].first, shorter.data() + 320'000);
    EXPECT_EQ(late.detections[0].count, 320'000u);

    fakes::ScriptedTranscriber short_;
    EXPECT_EQ(VoiceLanguage::find(short_, std::vector<float>(15'999), 0), std::nullopt);
    EXPECT_TRUE(short_.detections.empty());
}

TEST(VoiceLanguage, FindStopsWhenCancelled) {
    std::stop_source stop;
    stop.request_stop();
    Task::Scope scope(stop.get_token());
    fakes::ScriptedTranscriber transcriber;
    EXPECT_THROW(VoiceLanguage::find(transcriber, std::vector<float>(32'000), 0), Cancelled);
    EXPECT_TRUE(transcriber.detections.empty());
}
