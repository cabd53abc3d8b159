#include "Core/Speech/Transcription.hpp"

#include "SpeechFakes.hpp"

#include <gtest/gtest.h>

using namespace korvel;

namespace {
std::vector<std::pair<std::string, std::pair<int64_t, int64_t>>> spans(const std::vector<RawWord>& words) {
    std::vector<std::pair<std::string, std::pair<int64_t, int64_t>>> out;
    for (const RawWord& w : words) out.push_back({w.text, {w.startUs, w.endUs}});
    return out;
}
} // namespace

TEST(WordTokens, SharesTheSpanByCharacters) {
    struct Case {
        RawWord word;
        std::vector<std::pair<std::string, std::pair<int64_t, int64_t>>> tokens;
    };
    const Case cases[] = {
        {{"", 0, 10, {}}, {}},
        {{" \t\n ", 0, 10, {}}, {}},
        {{" hi ", 100, 900, 0.5}, {{"hi", {100, 900}}}},
        {{"ab cde", 0, 800, {}}, {{"ab", {0, 320}}, {"cde", {320, 800}}}},
        {{"a b c", 0, 10, {}}, {{"a", {0, 3}}, {"b", {3, 6}}, {"c", {6, 10}}}},
        // One character each: a letter with a combining accent, a family emoji.
        {{"e\u0301 bb", 0, 300, {}}, {{"e\u0301", {0, 100}}, {"bb", {100, 300}}}},
        {{"\U0001F468\u200D\U0001F469\u200D\U0001F467  xy", 0, 30, {}},
         {{"\U0001F468\u200D\U0001F469\u200D\U0001F467", {0, 10}}, {"xy", {10, 30}}}},
        {{"one\u3000two", 0, 600, {}}, {{"one", {0, 300}}, {"two", {300, 600}}}},
    };
    for (const Case& c : cases) {
        const std::vector<RawWord> tokens = WordTokens::split(c.word);
        EXPECT_EQ(spans(tokens), c.tokens) << c.word.text;
        for (const RawWord& t : tokens) EXPECT_EQ(t.confidence, c.word.confidence);
    }
}

TEST(SentenceSplitter, ClosesAtTerminalsAfterTrimmingClosers) {
    struct Case {
        std::vector<std::string> words;
        std::vector<SentenceSpan> sentences;
    };
    const Case cases[] = {
        {{}, {}},
        {{"hello"}, {{0, 0}}},
        {{"One", "two.", "three", "four", "five?\u201D"}, {{0, 1}, {2, 4}}},
        {{"Dr.", "Smith", "came"}, {{0, 0}, {1, 2}}},
        {{"see", "(this)", "and", "(that.)", "then"}, {{0, 3}, {4, 4}}},
        {{"Done!", "\u201D", "next"}, {{0, 0}, {1, 2}}},
        {{"\u4F60\u597D\u3002", "\u8C22\u8C22\uFF01", "wait\u2026", "\u0643\u064A\u0641\u061F", "\u0928\u092E\u0938\u094D\u0924\u0947\u0964"},
         {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}}},
        {{"'quoted.'", "\u300Cyes?\u300D", "no"}, {{0, 0}, {1, 1}, {2, 2}}},
    };
    for (const Case& c : cases) {
        std::vector<RawWord> words;
        for (const std::string& t : c.words) words.push_back({t, 0, 0, {}});
        EXPECT_EQ(SentenceSplitter::split(words), c.sentences) << ::testing::PrintToString(c.words);
    }
}

TEST(TranscriberKind, RawValues) {
    EXPECT_EQ(rawValue(TranscriberKind::whisperLargeV3), "whisper_large_v3");
    EXPECT_EQ(rawValue(TranscriberKind::speechTranscriber), "speech_transcriber");
    EXPECT_EQ(transcriberKind("speech_transcriber"), TranscriberKind::speechTranscriber);
    EXPECT_EQ(transcriberKind("whisper_large_v3"), TranscriberKind::whisperLargeV3);
    EXPECT_EQ(transcriberKind("Whisper_large_v3"), std::nullopt);
    EXPECT_EQ(transcriberKind(""), std::nullopt);
}

TEST(Transcriber, ListeningHandsBackTheBodysResult) {
    fakes::ScriptedTranscriber transcriber;
    const int answer = listening(transcriber, [](Transcriber& t) { return t.kind() == TranscriberKind::whisperLargeV3 ? 42 : 0; });
    EXPECT_EQ(answer, 42);
    EXPECT_EQ(transcriber.listeningBodies, 1);
    EXPECT_THROW(listening(transcriber, [](Transcriber&) -> int { throw std::runtime_error("body"); }), std::runtime_error);
}
