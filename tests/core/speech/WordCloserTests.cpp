#include "Core/Speech/WordCloser.hpp"

#include <gtest/gtest.h>

using namespace korvel;

namespace {
// A clip of 10 ms levels: a room at -70 dB with voice at -20 dB in the given frame ranges.
std::vector<double> clip(int64_t frames, std::initializer_list<std::pair<int64_t, int64_t>> voiced) {
    std::vector<double> levels(static_cast<size_t>(frames), -70);
    for (auto [from, to] : voiced)
        for (int64_t f = from; f < to; ++f) levels[static_cast<size_t>(f)] = -20;
    return levels;
}

std::vector<std::pair<int64_t, int64_t>> times(const std::vector<RawWord>& words) {
    std::vector<std::pair<int64_t, int64_t>> out;
    for (const RawWord& w : words) out.push_back({w.startUs, w.endUs});
    return out;
}

RawWord word(const char* text, int64_t start, int64_t end) { return {text, start, end, std::nullopt}; }
} // namespace

TEST(WordCloser, Takes) {
    const std::vector<RawWord> words{word("a", 0, 100'000), word("b", 1'600'000, 1'700'000), word("c", 3'200'001, 3'300'000)};
    EXPECT_EQ(WordCloser::takes(words), (std::vector<IntRange>{{0, 2}, {2, 3}}));
    EXPECT_TRUE(WordCloser::takes({}).empty());
}

TEST(WordCloser, VoicedMaskOfOneWordTake) {
    // 350 ms either side of the word: frames 5 to 176 hold 40 voiced frames.
    const std::vector<double> levels = clip(300, {{50, 80}, {120, 130}});
    const std::vector<RawWord> words{word("hello", 400'000, 1'400'000)};
    const VoicedFrames mask = WordCloser::voicedMask(levels, {0, 1}, words);
    EXPECT_EQ(mask.thresholdDb, -56);  // p10 + 14: the loud level lies further above the floor
    EXPECT_EQ(mask.levels, levels);
    EXPECT_TRUE(mask.contains(50));
    EXPECT_FALSE(mask.contains(49));
    EXPECT_FALSE(mask.contains(-1));
    EXPECT_FALSE(mask.contains(300));

    // A take whose window is beyond the levels voices nothing.
    const std::vector<RawWord> late{word("late", 9'000'000, 9'100'000)};
    EXPECT_FALSE(WordCloser::voicedMask(levels, {0, 1}, late).contains(50));
}

TEST(WordCloser, ClosesOntoTheLargerBurst) {
    struct Case {
        const char* name;
        std::vector<double> levels;
        std::vector<RawWord> words;
        std::vector<std::pair<int64_t, int64_t>> closed;
    };
    const Case cases[] = {
        {"the larger of two bursts 400 ms apart", clip(300, {{50, 80}, {120, 130}}), {word("w", 400'000, 1'400'000)}, {{500'000, 800'000}}},
        {"equal bursts: the earlier", clip(300, {{50, 60}, {100, 110}}), {word("w", 400'000, 1'400'000)}, {{500'000, 600'000}}},
        {"no voice keeps the times", clip(300, {{200, 260}}), {word("w", 400'000, 1'400'000)}, {{400'000, 1'400'000}}},
        {"the start reaches back at most 120 ms", clip(300, {{40, 90}}), {word("w", 600'000, 1'000'000)}, {{480'000, 900'000}}},
        {"nor before the previous closed end", clip(300, {{40, 90}}),
         {word("a", 300'000, 605'000), word("w", 605'000, 1'000'000)}, {{400'000, 605'000}, {605'000, 900'000}}},
        {"the end stops at the next start", clip(300, {{40, 100}}),
         {word("w", 600'000, 800'000), word("x", 850'000, 1'200'000)}, {{480'000, 850'000}, {850'000, 1'000'000}}},
        {"overlaps are split in the middle", clip(300, {}),
         {word("a", 0, 500'000), word("b", 300'000, 800'000)}, {{0, 400'000}, {400'000, 800'000}}},
    };
    for (const Case& c : cases) EXPECT_EQ(times(WordCloser::close(c.words, c.levels)), c.closed) << c.name;
}

TEST(WordCloser, CloseSortsStablyAndKeepsTexts) {
    const std::vector<RawWord> words{word("second", 500'000, 600'000), word("first", 100'000, 200'000), word("same", 100'000, 150'000)};
    const std::vector<RawWord> closed = WordCloser::close(words, clip(100, {}));
    ASSERT_EQ(closed.size(), 3u);
    EXPECT_EQ(closed[0].text, "first");
    EXPECT_EQ(closed[1].text, "same");
    EXPECT_EQ(closed[2].text, "second");
    EXPECT_TRUE(WordCloser::close(words, {}) == words);
}

TEST(WordCloser, DropsPhantoms) {
    // Voice fills the first second, so the clip's threshold is -44 dB.
    struct Case {
        const char* name;
        RawWord word;
        std::vector<std::pair<int64_t, int64_t>> voiced;
        bool shortWordsToo;
        bool kept;
    };
    const Case cases[] = {
        {"a long word over silence", word("w", 2'000'000, 3'200'000), {}, false, false},
        {"a long word with 5 % voice", word("w", 2'000'000, 3'200'000), {{250, 256}}, false, true},
        {"a long word with less", word("w", 2'000'000, 3'200'000), {{250, 255}}, false, false},
        {"a short word near 8 voiced frames", word("w", 3'000'000, 3'100'000), {{310, 318}}, true, true},
        {"a short word near 7", word("w", 3'000'000, 3'100'000), {{310, 317}}, true, false},
        {"voice 200 ms away still counts", word("w", 3'000'000, 3'100'000), {{322, 330}}, true, true},
        {"voice further away does not", word("w", 3'000'000, 3'100'000), {{331, 340}}, true, false},
        {"short words are only checked when asked", word("w", 3'000'000, 3'100'000), {}, false, true},
    };
    for (const Case& c : cases) {
        std::vector<double> levels = clip(600, {{0, 100}});
        for (auto [from, to] : c.voiced)
            for (int64_t i = from; i < to; ++i) levels[static_cast<size_t>(i)] = -20;
        const std::vector<RawWord> words{c.word};
        EXPECT_EQ(WordCloser::withoutPhantoms(words, levels, c.shortWordsToo).size(), c.kept ? 1u : 0u) << c.name;
    }

    // Voice and room too close to tell apart: nothing is dropped.
    const std::vector<RawWord> ghost{word("w", 2'000'000, 4'000'000)};
    EXPECT_EQ(WordCloser::withoutPhantoms(ghost, std::vector<double>(600, -70), true), ghost);
}

TEST(WordCloser, PhantomNeighboursBoundTheLook) {
    // The voice next to the short word lies inside its neighbour's span, so it does not count.
    std::vector<double> levels = clip(600, {{0, 100}, {320, 330}});
    const std::vector<RawWord> words{word("w", 3'000'000, 3'100'000), word("x", 3'150'000, 3'400'000)};
    const std::vector<RawWord> kept = WordCloser::withoutPhantoms(words, levels, true);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].text, "x");
}
