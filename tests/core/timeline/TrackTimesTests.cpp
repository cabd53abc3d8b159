#include "Core/Timeline/TrackTimes.hpp"
#include "Core/Time.hpp"

#include <gtest/gtest.h>

using namespace korvel;

namespace {

MovieTrack track(std::optional<std::vector<MovieEdit>> edits, int64_t mediaDuration = 4000) {
    MovieTrack t;
    t.mediaTimescale = 30000;
    t.mediaDuration = mediaDuration;
    t.edits = std::move(edits);
    return t;
}

const std::vector<TrackTimes::Timed> fourFrames{{0, 1000}, {1000, 1000}, {2000, 1000}, {3000, 1000}};

} // namespace

TEST(TrackTimes, WithoutEditsTheWholeMediaShowsFromZero) {
    // Decode order with a reordered frame: presentation times come out sorted.
    std::vector<TrackTimes::Timed> samples{{0, 1000}, {2000, 1000}, {1000, 1000}, {3000, 1000}};
    auto shown = TrackTimes::shown(samples, TrackTimes::segments(track(std::nullopt), 600), 30000);
    EXPECT_EQ(shown.pts, (std::vector<int64_t>{0, 1000, 2000, 3000}));
    EXPECT_EQ(shown.sampleOf, (std::vector<size_t>{0, 2, 1, 3}));
    EXPECT_EQ(shown.endTicks, 4000);
}

TEST(TrackTimes, EditsPlaceDropRepeatAndStretchSamples) {
    struct Case {
        const char* name;
        std::vector<MovieEdit> edits;
        std::vector<int64_t> pts;
        int64_t endTicks;
    };
    std::vector<Case> cases{
        // Starts the track at media time 1000: earlier samples are not shown.
        {"late start", {{60, 1000, 1.0}}, {0, 1000, 2000}, 3000},
        // A gap of 0.1 s, then the first 0.1 s of media at half speed.
        {"gap then half speed", {{60, -1, 1.0}, {120, 0, 0.5}}, {3000, 5000, 7000}, 9000},
        // The first two frames twice over.
        {"repeated", {{40, 0, 1.0}, {40, 0, 1.0}}, {0, 1000, 2000, 3000}, 4000},
        // Two edits over one stretch of track time list its frames twice.
        {"overlapping media", {{40, 0, 1.0}, {40, 1000, 1.0}}, {0, 1000, 2000, 3000}, 4000},
        // An edit shorter than the last frame cuts that frame's end.
        {"cut end", {{50, 0, 1.0}}, {0, 1000, 2000}, 2500},
    };
    for (const auto& c : cases) {
        auto shown = TrackTimes::shown(fourFrames, TrackTimes::segments(track(c.edits), 600), 30000);
        EXPECT_EQ(shown.pts, c.pts) << c.name;
        EXPECT_EQ(shown.endTicks, c.endTicks) << c.name;
    }
}

TEST(TrackTimes, NoShownSampleLeavesTheTableEmpty) {
    auto shown = TrackTimes::shown(fourFrames, TrackTimes::segments(track({{{60, -1, 1.0}}}), 600), 30000);
    EXPECT_TRUE(shown.pts.empty());
    EXPECT_EQ(shown.endTicks, INT64_MIN);
}

TEST(TrackTimes, ConversionRoundsHalvesAwayFromZero) {
    EXPECT_EQ((TickTime{1, 2}.in(1)), 1);
    EXPECT_EQ((TickTime{-1, 2}.in(1)), -1);
    EXPECT_EQ((TickTime{-1, 4}.in(1)), 0);
    EXPECT_EQ((TickTime{1001, 30000}.in(600)), 20);
    EXPECT_THROW((TickTime{INT64_MAX, 1}.in(2)), TimeOverflow);
}

TEST(TrackTimes, OpenLengthsReachTheEndOfTheMedia) {
    // Fragmented movies leave the media duration at zero and may write edits
    // of length zero: both run to the end of the last sample.
    auto whole = TrackTimes::shown(fourFrames, TrackTimes::segments(track(std::nullopt, 0), 600, 4000), 30000);
    EXPECT_EQ(whole.pts, (std::vector<int64_t>{0, 1000, 2000, 3000}));
    EXPECT_EQ(whole.endTicks, 4000);
    auto open = TrackTimes::shown(fourFrames, TrackTimes::segments(track({{{0, 1000, 1.0}}}, 0), 600, 4000), 30000);
    EXPECT_EQ(open.pts, (std::vector<int64_t>{0, 1000, 2000}));
    EXPECT_EQ(open.endTicks, 3000);
    EXPECT_EQ(TrackTimes::mediaEnd({}), 0);
}
