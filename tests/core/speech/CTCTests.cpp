#include "Core/Speech/CTCAligner.hpp"
#include "Core/Speech/CTCViterbi.hpp"

#include "SpeechFakes.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace korvel;

namespace {
constexpr float never = -std::numeric_limits<float>::infinity();

// Rows of emissions over a vocabulary of `width`, each row given as (token, value) pairs over a floor.
CTCEmissions table(int64_t width, std::vector<std::vector<std::pair<int, float>>> rows, float floor = -10) {
    CTCEmissions e{std::vector<float>(rows.size() * size_t(width), floor), int64_t(rows.size()), width};
    for (size_t f = 0; f < rows.size(); ++f)
        for (auto [id, value] : rows[f]) e.values[f * size_t(width) + size_t(id)] = value;
    return e;
}

std::vector<RawWord> words(std::initializer_list<std::tuple<const char*, int64_t, int64_t>> list) {
    std::vector<RawWord> out;
    for (auto [text, start, end] : list) out.push_back({text, start, end, 0.9});
    return out;
}

struct Progress {
    std::vector<EngineProgress> reports;
    JobContext job{[this](const EngineProgress& p) { reports.push_back(p); }};
};
} // namespace

TEST(CTCVocabulary, LettersOfText) {
    const CTCVocabulary& v = CTCVocabulary::wav2vec2English();
    EXPECT_EQ(v.ids("it's"), (std::vector<int>{10, 6, 27, 12}));
    EXPECT_EQ(v.ids("a b"), (std::vector<int>{7, 4, 24}));
    EXPECT_EQ(v.ids("a2-\u00F1 z"), (std::vector<int>{7, 4, 31}));
    EXPECT_EQ(v.letter(4), " ");
    EXPECT_EQ(v.letter(31), "Z");
    EXPECT_EQ(v.letter(0), std::nullopt);
    EXPECT_EQ(v.letter(2), std::nullopt);
    EXPECT_EQ(v.idByLetter.size(), 27u);
}

TEST(CTCViterbi, PlacesEachTokenOnOneFrame) {
    // Letters peak on frames 0, 2 and 4; blank is likely elsewhere.
    const CTCEmissions peaked = table(8, {{{5, -0.1f}, {0, -3}}, {{0, -0.1f}}, {{6, -0.1f}, {0, -3}}, {{0, -0.1f}}, {{7, -0.1f}, {0, -3}}});
    const std::vector<int> three{5, 6, 7};
    EXPECT_EQ(CTCViterbi::align(peaked, three, 0), (std::vector<int64_t>{0, 2, 4}));

    // Everything equally likely: ties go to advancing, so tokens take the latest frames.
    const CTCEmissions flat = table(8, {{}, {}, {}, {}, {}}, -1);
    EXPECT_EQ(CTCViterbi::align(flat, three, 0), (std::vector<int64_t>{2, 3, 4}));

    // A repeated letter needs no blank between its two frames.
    const std::vector<int> twice{5, 5};
    EXPECT_EQ(CTCViterbi::align(table(8, {{{5, 0}}, {{5, 0}}}), twice, 0), (std::vector<int64_t>{0, 1}));

    EXPECT_EQ(CTCViterbi::align(table(8, {{}, {}}), three, 0), std::nullopt);
    EXPECT_EQ(CTCViterbi::align(flat, std::vector<int>{}, 0), std::nullopt);
    EXPECT_EQ(CTCViterbi::align(flat, std::vector<int>{9}, 0), std::nullopt);  // outside the model's vocabulary
}

TEST(CTCViterbi, GreedyText) {
    const CTCVocabulary& v = CTCVocabulary::wav2vec2English();
    // A, A, blank, A, separator, B: a letter repeated across a blank is written twice.
    const CTCEmissions e = table(32, {{{7, 0}}, {{7, 0}}, {{0, 0}}, {{7, 0}}, {{4, 0}}, {{24, 0}}});
    EXPECT_EQ(CTCViterbi::greedy(e, v), "AA B");
    const CTCEmissions edges = table(32, {{{4, 0}}, {{2, 0}}, {{11, 0}}, {{4, 0}}, {{4, 0}}, {{10, 0}}, {{4, 0}}});
    EXPECT_EQ(CTCViterbi::greedy(edges, v), "H I");
    // Rows of nothing but -infinity read as token 0, the blank.
    EXPECT_EQ(CTCViterbi::greedy(table(32, {{}, {}}, never), v), "");
}

TEST(CTCAligner, Chunks) {
    struct Case {
        const char* name;
        std::vector<RawWord> words;
        std::vector<size_t> sizes;
    };
    const Case cases[] = {
        {"nothing", {}, {}},
        {"a full stop cuts", words({{"one.", 0, 100'000}, {"two", 200'000, 300'000}}), {1, 1}},
        {"a question mark cuts", words({{"one?", 0, 100'000}, {"two", 200'000, 300'000}}), {1, 1}},
        {"a 500 ms gap cuts", words({{"one", 0, 100'000}, {"two", 600'000, 700'000}}), {1, 1}},
        {"a 450 ms gap does not", words({{"one", 0, 100'000}, {"two", 550'000, 700'000}}), {2}},
        {"a 400 ms gap does not", words({{"one", 0, 100'000}, {"two", 500'000, 700'000}}), {2}},
        {"a comma does not", words({{"one,", 0, 100'000}, {"two", 200'000, 300'000}}), {2}},
        {"more than 14 s cuts", words({{"a", 0, 7'000'000}, {"b", 7'000'000, 14'000'000}, {"c", 14'000'000, 14'000'001}}), {2, 1}},
        {"14 s exactly does not", words({{"a", 0, 7'000'000}, {"b", 7'000'000, 14'000'000}}), {2}},
    };
    for (const Case& c : cases) {
        std::vector<size_t> sizes;
        for (const auto& chunk : CTCAligner::chunks(c.words)) sizes.push_back(chunk.size());
        EXPECT_EQ(sizes, c.sizes) << c.name;
    }
}

TEST(CTCAligner, PlacesWordsOnTheirLetters) {
    auto model = std::make_shared<fakes::TableEmissionModel>();
    // The window opens at 650 ms; the letters sit on its 20 ms grid.
    model->say("cat", 1'090'000, 40'000);
    model->say(" ", 1'300'000);
    model->say("dog", 1'550'000, 60'000, -8.0f);
    const std::vector<float> samples(3 * 16'000);
    Progress progress;
    const CTCAligner aligner(model, CTCAligner::defaultMaximumShiftUs);
    const auto placement = aligner.place(words({{"Cat", 1'000'000, 1'400'000}, {"dog!", 1'500'000, 1'900'000}}), samples, 0,
                                         std::nullopt, progress.job);

    ASSERT_EQ(model->requests.size(), 1u);
    EXPECT_EQ(model->requests[0].startUs, 650'000);
    EXPECT_EQ(model->requests[0].samples, 25'600u);  // to 2.25 s
    ASSERT_EQ(placement.words.size(), 2u);
    EXPECT_EQ(placement.words[0], (RawWord{"Cat", 1'090'000, 1'190'000, 0.9}));
    EXPECT_EQ(placement.words[1], (RawWord{"dog!", 1'550'000, 1'690'000, 0.9}));
    EXPECT_EQ(placement.placed, (std::vector<bool>{true, true}));  // a mean of exactly -8 is borne out
    EXPECT_NEAR(*placement.letterLogProbability[0], -0.5, 1e-6);
    EXPECT_NEAR(*placement.letterLogProbability[1], -8.0, 1e-6);
    EXPECT_EQ(progress.reports, (std::vector<EngineProgress>{{EngineProgress::Phase::analyze, EngineProgress::Unit::items, 1, 1}}));
}

TEST(CTCAligner, WeakOrFarLettersAndWordsWithoutLetters) {
    auto model = std::make_shared<fakes::TableEmissionModel>();
    // "twenty one" is spoken as two words; its span runs from T to E.
    model->say("twenty one", 1'010'000);
    // "far" is heard 250 ms before it was recognised; "low" only faintly.
    model->say("far", 1'350'000);
    model->say("low", 1'530'000, 20'000, -9.0f);
    const std::vector<float> samples(4 * 16'000);
    const CTCAligner aligner(model, 200'000);
    const auto placement = aligner.place(
        words({{"21", 1'000'000, 1'200'000}, {"\u2014", 1'250'000, 1'260'000}, {"far", 1'600'000, 1'700'000}, {"low", 1'700'000, 1'800'000}}),
        samples, 0, std::nullopt, JobContext::silent());

    EXPECT_EQ(placement.words[0].startUs, 1'010'000);
    EXPECT_EQ(placement.words[0].endUs, 1'210'000);
    EXPECT_TRUE(placement.placed[0]);
    EXPECT_EQ(placement.words[1], (RawWord{"\u2014", 1'250'000, 1'260'000, 0.9}));
    EXPECT_TRUE(placement.placed[1]);
    EXPECT_EQ(placement.letterLogProbability[1], std::nullopt);
    EXPECT_EQ(placement.words[2], (RawWord{"far", 1'600'000, 1'700'000, 0.9}));
    EXPECT_FALSE(placement.placed[2]);
    EXPECT_EQ(placement.letterLogProbability[2], std::nullopt);
    EXPECT_EQ(placement.words[3].startUs, 1'530'000);
    EXPECT_EQ(placement.words[3].endUs, 1'590'000);
    EXPECT_FALSE(placement.placed[3]);
    EXPECT_NEAR(*placement.letterLogProbability[3], -9.0, 1e-6);
}

TEST(CTCAligner, ShortfallsLeaveWordsWhereTheyWere) {
    auto model = std::make_shared<fakes::TableEmissionModel>();
    const CTCAligner aligner(model, CTCAligner::defaultMaximumShiftUs);
    Progress progress;
    EXPECT_EQ(aligner.place({}, std::vector<float>(16'000), 0, std::nullopt, progress.job), CTCAligner::Placement{});
    EXPECT_TRUE(progress.reports.empty());

    // The window lies past the end of the sound.
    const auto beyond = aligner.place(words({{"late", 2'000'000, 2'100'000}, {"...", 2'100'000, 2'200'000}}),
                                      std::vector<float>(16'000), 0, std::nullopt, JobContext::silent());
    EXPECT_EQ(beyond.words, words({{"late", 2'000'000, 2'100'000}, {"...", 2'100'000, 2'200'000}}));
    EXPECT_EQ(beyond.placed, (std::vector<bool>{false, true}));
    EXPECT_EQ(beyond.letterLogProbability, (std::vector<std::optional<double>>{std::nullopt, std::nullopt}));
    EXPECT_TRUE(model->requests.empty());

    // More letters than frames: no path.
    const auto crowded = aligner.place(words({{"supercalifragilistic", 100'000, 150'000}}), std::vector<float>(16'000 / 10 + 320 * 2), 0,
                                       std::nullopt, JobContext::silent());
    EXPECT_FALSE(crowded.placed[0]);
    EXPECT_EQ(crowded.words[0].startUs, 100'000);
}

TEST(CTCAligner, WindowsStopAtTheNextChunk) {
    auto model = std::make_shared<fakes::TableEmissionModel>();
    model->quiet = 0;  // every frame equally blank and letter: alignments land at window ends
    // Tone with a pause from 1.2 s to 1.95 s that ends near the next chunk's start.
    std::vector<float> samples(4 * 16'000);
    for (size_t i = 0; i < samples.size(); ++i)
        if (i < 19'200 || i >= 31'200) samples[i] = 0.3f * float(std::sin(double(i) * 0.2));
    const CTCAligner aligner(model, 10'000'000);
    model->fails = false;
    const auto placement = aligner.place(words({{"cat.", 500'000, 1'900'000}, {"dog", 2'000'000, 2'500'000}}), samples, 0,
                                         std::nullopt, JobContext::silent());
    ASSERT_EQ(model->requests.size(), 2u);
    EXPECT_EQ(model->requests[0].startUs, 150'000);
    EXPECT_EQ(model->requests[0].samples, 28'800u);  // to the pause's end at 1.95 s
    // The second window starts where the first chunk's word now ends.
    EXPECT_EQ(model->requests[1].startUs, placement.words[0].endUs);
    EXPECT_EQ(placement.words[0].endUs, 1'950'000);
    EXPECT_EQ(int64_t(model->requests[1].samples), (2'850'000 - 1'950'000) * 16 / 1000);

    // A following known start bounds the last window too.
    model->requests.clear();
    aligner.place(words({{"dog", 2'000'000, 2'500'000}}), samples, 1'000'000, 2'600'000, JobContext::silent());
    ASSERT_EQ(model->requests.size(), 1u);
    EXPECT_EQ(model->requests[0].startUs, 1'650'000);
    EXPECT_EQ(int64_t(model->requests[0].samples), (2'750'000 - 1'650'000) * 16 / 1000);
}

TEST(CTCAligner, ModelErrorsAndCancellationEndTheAlignment) {
    auto model = std::make_shared<fakes::TableEmissionModel>();
    model->fails = true;
    const CTCAligner aligner(model, CTCAligner::defaultMaximumShiftUs);
    const auto some = words({{"cat", 1'000'000, 1'400'000}});
    EXPECT_THROW(aligner.align(some, std::vector<float>(48'000), JobContext::silent()), std::runtime_error);

    std::stop_source stop;
    stop.request_stop();
    Task::Scope scope(stop.get_token());
    model->fails = false;
    EXPECT_THROW(aligner.align(some, std::vector<float>(48'000), JobContext::silent()), Cancelled);
}
