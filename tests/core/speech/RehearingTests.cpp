#include "Core/Speech/Rehearing.hpp"

#include "SpeechFakes.hpp"

#include <gtest/gtest.h>

using namespace korvel;

namespace {
enum class State { anchor, unplaced, letterless };

struct PlacedWord {
    const char* text;
    int64_t startUs, endUs;
    State state;
};

CTCAligner::Placement placement(std::initializer_list<PlacedWord> words) {
    CTCAligner::Placement p;
    for (const PlacedWord& s : words) {
        p.words.push_back({s.text, s.startUs, s.endUs, std::nullopt});
        p.placed.push_back(s.state != State::unplaced);
        p.letterLogProbability.push_back(s.state == State::anchor ? std::optional<double>(-1) : std::nullopt);
    }
    return p;
}

constexpr State A = State::anchor, U = State::unplaced, L = State::letterless;

// P A x B Q: one unplaced word between anchors.
CTCAligner::Placement pAxBQ() {
    return placement({{"p", 1'000'000, 1'300'000, A}, {"a", 1'500'000, 1'800'000, A}, {"x", 2'000'000, 2'300'000, U},
                      {"b", 2'500'000, 2'800'000, A}, {"q", 3'000'000, 3'300'000, A}});
}

std::vector<std::string> texts(const CTCAligner::Placement& p) {
    std::vector<std::string> out;
    for (const RawWord& w : p.words) out.push_back(w.text);
    return out;
}

struct Clip {
    std::vector<float> samples = std::vector<float>(10 * 16'000);
    std::shared_ptr<fakes::TableEmissionModel> model = std::make_shared<fakes::TableEmissionModel>();
    fakes::ScriptedTranscriber transcriber;
    Rehearing rehearing{transcriber, CTCAligner(model, CTCAligner::defaultMaximumShiftUs)};

    // Words heard in a piece, with times counted from the piece's start.
    void hears(std::vector<RawWord> words) {
        transcriber.heard = [words, this](std::span<const float> piece) {
            const int64_t offsetUs = (piece.data() - samples.data()) * 1'000'000 / 16'000;
            std::vector<RawWord> shifted = words;
            for (RawWord& w : shifted) w.startUs -= offsetUs, w.endUs -= offsetUs;
            return shifted;
        };
    }
};
} // namespace

TEST(Rehearing, Stretches) {
    using S = Rehearing::Stretch;
    struct Case {
        const char* name;
        CTCAligner::Placement placement;
        std::vector<IntRange> voice;
        std::vector<S> stretches;
    };
    const Case cases[] = {
        {"all anchors, no lost voice", placement({{"a", 0, 500'000, A}, {"b", 600'000, 900'000, A}}), {{0, 900'000}}, {}},
        {"700 ms of voice without words", placement({{"a", 0, 500'000, A}, {"b", 1'500'000, 1'900'000, A}}),
         {{0, 400'000}, {600'000, 1'300'000}}, {S{{500'000, 1'500'000}, {1, 1}, 700'000}}},
        {"699.999 ms is not enough", placement({{"a", 0, 500'000, A}, {"b", 1'500'000, 1'900'000, A}}),
         {{600'000, 1'299'999}}, {}},
        {"voice after the last word", placement({{"a", 0, 500'000, A}}), {{2'000'000, 3'000'000}},
         {S{{500'000, 10'000'000}, {1, 1}, 1'000'000}}},
        {"letterless words between anchors count as gap", placement({{"a", 0, 500'000, A}, {"...", 600'000, 700'000, L}, {"b", 1'500'000, 1'900'000, A}}),
         {{500'000, 1'400'000}}, {S{{500'000, 1'500'000}, {1, 2}, 900'000}}},
        {"an unplaced word takes the anchors beyond its neighbours", pAxBQ(), {}, {S{{1'300'000, 3'000'000}, {1, 4}, 300'000}}},
        {"two unplaced words around one anchor merge",
         placement({{"a", 1'000'000, 1'200'000, A}, {"x", 1'500'000, 1'600'000, U}, {"b", 2'000'000, 2'200'000, A},
                    {"y", 2'500'000, 2'700'000, U}, {"c", 3'000'000, 3'200'000, A}}),
         {}, {S{{0, 10'000'000}, {0, 5}, 300'000}}},
        {"nothing but unplaced words", placement({{"x", 1'000'000, 1'200'000, U}, {"y", 2'000'000, 2'500'000, U}}), {},
         {S{{0, 10'000'000}, {0, 2}, 700'000}}},
    };
    for (const Case& c : cases) EXPECT_EQ(Rehearing::stretches(c.placement, c.voice, 10'000'000), c.stretches) << c.name;
}

TEST(Rehearing, UncertainRanges) {
    EXPECT_EQ(Rehearing::uncertain(pAxBQ(), {}, 10'000'000), (std::vector<IntRange>{{1'000'000, 3'300'000}, {2'000'000, 2'300'000}}));
    // An unplaced word of no length still marks one microsecond.
    const auto zero = placement({{"a", 0, 100'000, A}, {"x", 500'000, 500'000, U}, {"b", 900'000, 1'000'000, A}});
    EXPECT_EQ(Rehearing::uncertain(zero, {}, 1'000'000), (std::vector<IntRange>{{0, 1'000'000}, {500'000, 500'001}}));
    EXPECT_TRUE(Rehearing::uncertain(placement({{"a", 0, 100'000, A}}), {}, 1'000'000).empty());
    EXPECT_EQ(Rehearing::window({1'000'000, 2'000'000}, 2'500'000, 2'000'000), (IntRange{0, 2'500'000}));
}

TEST(Rehearing, NothingToHearLeavesThePlacement) {
    Clip clip;
    const auto all = placement({{"a", 0, 500'000, A}, {"b", 600'000, 900'000, A}});
    const Rehearing::Result result = clip.rehearing.heal(all, clip.samples, std::vector<IntRange>{{0, 900'000}}, "en", JobContext::silent());
    EXPECT_EQ(result.placement, all);
    EXPECT_TRUE(result.uncertain.empty());
    EXPECT_EQ(result.reheard, 0);
    EXPECT_EQ(clip.transcriber.listeningBodies, 0);
}

TEST(Rehearing, TakesWordsTheSoundBearsOut) {
    Clip clip;
    // The sound bears out what is heard again, "why" included.
    clip.model->say("a", 1'500'000);
    clip.model->say(" ", 1'700'000);
    clip.model->say("why", 2'000'000);
    clip.model->say(" ", 2'300'000);
    clip.model->say("b", 2'500'000);
    // The first heard token repeats "p" right where it stands, and is dropped.
    clip.hears({{"p", 1'250'000, 1'350'000, {}}, {"a", 1'500'000, 1'800'000, {}}, {"why", 2'000'000, 2'300'000, {}},
                {"b", 2'500'000, 2'800'000, {}}, {"q", 3'100'000, 3'200'000, {}}});
    std::vector<EngineProgress> reports;
    const JobContext job([&](const EngineProgress& p) { reports.push_back(p); });
    const Rehearing::Result result = clip.rehearing.heal(pAxBQ(), clip.samples, {}, "en", job);

    EXPECT_EQ(result.reheard, 1);
    EXPECT_EQ(texts(result.placement), (std::vector<std::string>{"p", "a", "why", "b", "q"}));
    EXPECT_EQ(result.placement.placed, (std::vector<bool>(5, true)));
    EXPECT_TRUE(result.uncertain.empty());
    ASSERT_EQ(clip.transcriber.transcriptions.size(), 1u);
    EXPECT_EQ(clip.transcriber.transcriptions[0].first, clip.samples.data());  // 2 s before 1.3 s, from 0
    EXPECT_EQ(clip.transcriber.transcriptions[0].count, 80'000u);             // to 2 s after 3 s
    EXPECT_EQ(clip.transcriber.transcriptions[0].language, "en");
    EXPECT_EQ(clip.transcriber.listeningBodies, 1);
    EXPECT_TRUE(reports.empty());  // re-hearing runs quietly
}

TEST(Rehearing, KeepsTheOldWordsUnlessMoreAreBorneOut) {
    struct Case {
        const char* name;
        std::vector<RawWord> heard;
        size_t recognitions;
    };
    const Case cases[] = {
        {"the same words again: the shorter context is not tried",
         {{"a", 1'500'000, 1'800'000, {}}, {"x", 2'000'000, 2'300'000, {}}, {"b", 2'500'000, 2'800'000, {}}}, 1},
        {"other words no better: the shorter context is tried",
         {{"a", 1'500'000, 1'800'000, {}}, {"z", 2'000'000, 2'300'000, {}}, {"b", 2'500'000, 2'800'000, {}}}, 2},
        {"fewer spoken words", {{"a", 1'500'000, 1'800'000, {}}, {"b", 2'500'000, 2'800'000, {}}}, 2},
        {"nothing inside the stretch", {{"far", 5'000'000, 5'300'000, {}}}, 2},
    };
    for (const Case& c : cases) {
        Clip clip;
        clip.model->quiet = -9;  // nothing heard is borne out
        clip.hears(c.heard);
        const Rehearing::Result result = clip.rehearing.heal(pAxBQ(), clip.samples, {}, "en", JobContext::silent());
        EXPECT_EQ(result.reheard, 0) << c.name;
        EXPECT_EQ(result.placement, pAxBQ()) << c.name;
        EXPECT_EQ(result.uncertain, Rehearing::uncertain(pAxBQ(), {}, 10'000'000)) << c.name;
        EXPECT_EQ(clip.transcriber.transcriptions.size(), c.recognitions) << c.name;
    }
}

TEST(Rehearing, LongStretchesAreNotHeard) {
    for (int64_t extra : {0, 1}) {
        Clip clip;
        clip.samples.resize(40 * 16'000);
        // From the end of "p" to the start of "q" is 26 s, plus `extra`.
        const auto long_ = placement({{"p", 0, 1'000'000, A}, {"a", 1'500'000, 1'800'000, A}, {"x", 2'000'000, 2'300'000, U},
                                      {"b", 2'500'000, 2'800'000, A}, {"q", 27'000'000 + extra, 27'500'000, A}});
        const Rehearing::Result result = clip.rehearing.heal(long_, clip.samples, {}, "en", JobContext::silent());
        EXPECT_EQ(clip.transcriber.transcriptions.size(), extra ? 0u : 2u) << extra;
        EXPECT_EQ(result.uncertain.size(), 2u) << extra;
    }
}

TEST(Rehearing, HearsTheEightMostLostStretchesFromTheEnd) {
    // Ten groups "a x b c", 4 s apart; each x is unplaced and longer than the one before.
    Clip clip;
    clip.samples.resize(45 * 16'000);
    CTCAligner::Placement p;
    auto add = [&](const char* text, int64_t start, int64_t end, bool anchor) {
        p.words.push_back({text, start, end, std::nullopt});
        p.placed.push_back(anchor);
        p.letterLogProbability.push_back(anchor ? std::optional<double>(-1) : std::nullopt);
    };
    for (int64_t k = 0; k < 10; ++k) {
        const int64_t t = 1'000'000 + k * 4'000'000;
        add("a", t, t + 300'000, true);
        add("x", t + 500'000, t + 600'000 + k * 10'000, false);
        add("b", t + 1'500'000, t + 1'800'000, true);
        add("c", t + 2'500'000, t + 2'800'000, true);
    }
    const Rehearing::Result result = clip.rehearing.heal(p, clip.samples, {}, "en", JobContext::silent());
    EXPECT_EQ(result.reheard, 0);
    std::vector<int64_t> heardFromUs;
    for (const auto& call : clip.transcriber.transcriptions)
        heardFromUs.push_back((call.first - clip.samples.data()) * 1'000'000 / 16'000);
    std::vector<int64_t> expected;
    for (int64_t k = 9; k >= 2; --k) {
        // Group k's stretch starts at the end of c in group k - 1; heard with 2 s, then 1 s of context.
        const int64_t spanStart = 1'000'000 + (k - 1) * 4'000'000 + 2'800'000;
        expected.push_back(spanStart - 2'000'000);
        expected.push_back(spanStart - 1'000'000);
    }
    EXPECT_EQ(heardFromUs, expected);
}

TEST(Rehearing, ErrorsAndCancellationEndTheHealing) {
    Clip clip;
    clip.transcriber.heard = [](std::span<const float>) -> std::vector<RawWord> { throw std::runtime_error("recogniser"); };
    EXPECT_THROW(clip.rehearing.heal(pAxBQ(), clip.samples, {}, "en", JobContext::silent()), std::runtime_error);

    clip.hears({{"a", 1'500'000, 1'800'000, {}}, {"z", 2'000'000, 2'300'000, {}}, {"b", 2'500'000, 2'800'000, {}}});
    clip.model->fails = true;
    EXPECT_THROW(clip.rehearing.heal(pAxBQ(), clip.samples, {}, "en", JobContext::silent()), std::runtime_error);

    std::stop_source stop;
    stop.request_stop();
    Task::Scope scope(stop.get_token());
    EXPECT_THROW(clip.rehearing.heal(pAxBQ(), clip.samples, {}, "en", JobContext::silent()), Cancelled);
}
