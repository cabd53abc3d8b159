#include "Core/Speech/FillerDetector.hpp"

#include <gtest/gtest.h>

using namespace korvel;

namespace {
using Kind = FillerFinding::Kind;

// 10 ms levels: a room at -70 dB with the given stretches of frames at other levels.
std::vector<double> clip(int64_t frames, std::initializer_list<std::tuple<int64_t, int64_t, double>> stretches) {
    std::vector<double> levels(static_cast<size_t>(frames), -70);
    for (auto [from, to, level] : stretches)
        for (int64_t f = from; f < to; ++f) levels[static_cast<size_t>(f)] = level;
    return levels;
}

RawWord word(const char* text, int64_t start, int64_t end) { return {text, start, end, std::nullopt}; }
} // namespace

TEST(FillerDetector, FillerSoundsByLanguage) {
    struct Case {
        const char* text;
        const char* language;
        bool filler;
    };
    const Case cases[] = {
        {"Umm", "en", true},         {"uh,", "en", true},       {"um-hum", "en", false},   {"hmm", "en", true},
        {"mm", "en", true},          {"Erm...", "en", true},    {"ahh", "en-GB", true},    {"so", "en", false},
        {"", "en", false},           {"?!", "en", false},       {"umbrella", "en", false}, {"\u00C4hm", "de", true},
        {"A\u0308hm", "de", true},   {"\u00C4hm", "en", false}, {"\u00D6hm", "de", true},  {"ehm", "de", true},
        {"eh", "de", false},         {"euh", "fr", true},       {"heu", "FR", true},       {"hum", "fr", true},
        {"ahn", "pt_BR", true},      {"h\u00E3", "pt", true},   {"eh", "es", true},        {"emm", "es", true},
        {"ehm", "it", true},         {"uhm", "nl", true},       {"ah", "nl", false},       {"hmm", "ja", true},
        {"UH", "xx", true},
    };
    for (const Case& c : cases) EXPECT_EQ(FillerDetector::isFillerSound(c.text, c.language), c.filler) << c.text << " " << c.language;
    EXPECT_TRUE(FillerDetector::isFillerSound("Uhh"));
}

TEST(FillerDetector, WrittenAndSustainedFindings) {
    struct Case {
        const char* name;
        RawWord word;
        std::vector<double> levels;
        const char* language;
        std::vector<FillerFinding> findings;
    };
    const auto loud = clip(300, {{0, 300, -20}});
    const Case cases[] = {
        {"a written filler", word("Um,", 1'000'000, 1'200'000), loud, "en",
         {{Kind::written, 1'000'000, 1'200'000, 1'000'000, 1'200'000, 0, false}}},
        {"a written filler of no length", word("um", 1'000'000, 1'000'000), loud, "en", {}},
        {"a held connector", word("So", 1'000'000, 1'500'000), loud, "en",
         {{Kind::sustained, 1'000'000, 1'500'000, 1'050'000, 1'250'000, 0, false}}},
        {"420 ms is just enough", word("and", 1'000'000, 1'420'000), loud, "en",
         {{Kind::sustained, 1'000'000, 1'420'000, 1'050'000, 1'170'000, 0, false}}},
        {"419 ms is not", word("and", 1'000'000, 1'419'000), loud, "en", {}},
        {"349 ms is not examined", word("the", 1'000'000, 1'349'000), loud, "en", {}},
        {"a held part of 300 ms leaves too short a cut", word("so", 1'000'000, 1'400'000),
         clip(300, {{100, 130, -20}, {130, 140, -40}}), "en", {}},
        {"the held part is the longest loud run", word("so", 1'000'000, 1'800'000),
         clip(300, {{100, 110, -20}, {110, 120, -40}, {120, 170, -21}, {170, 180, -40}}), "en",
         {{Kind::sustained, 1'000'000, 1'800'000, 1'250'000, 1'630'000, 0, false}}},
        {"no connector is sustained in Spanish", word("so", 1'000'000, 1'500'000), loud, "es", {}},
        {"not a connector", word("soap", 1'000'000, 1'500'000), loud, "en", {}},
    };
    for (const Case& c : cases) {
        const std::vector<RawWord> words{c.word};
        EXPECT_EQ(FillerDetector::candidates(words, c.levels, {}, c.language), c.findings) << c.name;
    }
}

TEST(FillerDetector, VoicedGapsInsideATake) {
    struct Case {
        const char* name;
        std::vector<double> levels;
        std::vector<RawWord> words;
        std::vector<FillerFinding> findings;
    };
    const std::vector<RawWord> twoWords{word("hello", 1'000'000, 1'500'000), word("world", 2'000'000, 2'500'000)};
    const Case cases[] = {
        {"7 voiced windows", clip(300, {{100, 150, -20}, {200, 250, -20}, {160, 164, -20}, {170, 173, -20}}), twoWords, {}},
        {"8, not together", clip(300, {{100, 150, -20}, {200, 250, -20}, {160, 164, -20}, {170, 174, -20}}), twoWords,
         {{Kind::voicedGap, 1'600'000, 1'740'000, 1'600'000, 1'740'000, std::nullopt, true}}},
        {"words 2 s apart are two takes", clip(500, {{100, 150, -20}, {350, 400, -20}, {200, 300, -20}}),
         {word("hello", 1'000'000, 1'500'000), word("world", 3'500'000, 4'000'000)}, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(FillerDetector::candidates(c.words, c.levels, {}, "en"), c.findings) << c.name;
}

TEST(FillerDetector, FindingsInTimeOrderAndUncertainCutsForListeningOnly) {
    const auto levels = clip(300, {{0, 300, -20}});
    const std::vector<RawWord> words{word("well", 500'000, 900'000), word("uh", 1'000'000, 1'300'000), word("um", 1'400'000, 1'600'000)};
    auto findings = FillerDetector::candidates(words, levels, std::vector<IntRange>{{1'300'000, 1'400'000}}, "en");
    ASSERT_EQ(findings.size(), 2u);
    EXPECT_FALSE(findings[0].auditionOnly);  // touching at an end point is no overlap
    EXPECT_FALSE(findings[1].auditionOnly);
    findings = FillerDetector::candidates(words, levels, std::vector<IntRange>{{1'290'000, 1'400'000}}, "en");
    EXPECT_TRUE(findings[0].auditionOnly);
    EXPECT_EQ(findings[0].wordIndex, 1);
    EXPECT_FALSE(findings[1].auditionOnly);

    // A voiced gap that starts where a filler word does comes after it.
    const std::vector<RawWord> overlapping{word("a", 0, 100'000), word("b", 500'000, 600'000), word("uh", 100'000, 300'000)};
    const auto sorted = FillerDetector::candidates(overlapping, clip(100, {{10, 50, -20}}), {}, "en");
    ASSERT_EQ(sorted.size(), 2u);
    EXPECT_EQ(sorted[0].kind, Kind::written);
    EXPECT_EQ(sorted[0].startUs, 100'000);
    EXPECT_EQ(sorted[1].kind, Kind::voicedGap);
    EXPECT_EQ(sorted[1].startUs, 100'000);
}

TEST(FillerDetector, ConfirmationHearsOnlyVoicedGaps) {
    const std::vector<FillerFinding> findings{
        {Kind::written, 0, 100, 0, 100, 0, false},
        {Kind::voicedGap, 200, 300, 200, 300, std::nullopt, true},
        {Kind::sustained, 400, 900, 450, 700, 2, false},
        {Kind::voicedGap, 1000, 1100, 1000, 1100, std::nullopt, true},
    };
    std::vector<std::pair<int64_t, int64_t>> asked;
    const auto kept = FillerDetector::confirmed(findings, [&](int64_t start, int64_t end) {
        asked.push_back({start, end});
        return start == 200 ? std::string() : std::string("UM");
    });
    EXPECT_EQ(asked, (std::vector<std::pair<int64_t, int64_t>>{{200, 300}, {1000, 1100}}));
    EXPECT_EQ(kept, (std::vector<FillerFinding>{findings[0], findings[2], findings[3]}));

    EXPECT_THROW(FillerDetector::confirmed(findings, [](int64_t, int64_t) -> std::string { throw std::runtime_error("decoder"); }),
                 std::runtime_error);
}

TEST(FillerFinding, KindNames) {
    for (auto [kind, name] : {std::pair{Kind::written, "written"}, {Kind::sustained, "sustained"}, {Kind::voicedGap, "voiced_gap"}}) {
        EXPECT_EQ(FillerFinding::rawValue(kind), name);
        EXPECT_EQ(FillerFinding::kindNamed(name), kind);
    }
    EXPECT_EQ(FillerFinding::kindNamed("voicedGap"), std::nullopt);
}
