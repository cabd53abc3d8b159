#include "Core/Timeline/ResolvedTimeline.hpp"
#include "Core/Time.hpp"
#include "tests/core/plan/PlanFixtures.hpp"

#include <gtest/gtest.h>

using namespace korvel;
using namespace korvel::fixtures;

namespace {
using Tables = std::map<std::string, PTSTable, std::less<>>;
using Stills = std::set<std::string, std::less<>>;

// A 30000-timescale source of 300 frames, 1000 ticks apart (30 fps, 10 s).
Tables tenSeconds(const std::string& id = "a") { return {{id, table(30000, 1000, 300)}}; }
} // namespace

TEST(ResolvedTimeline, SegmentsOnTheFrameGrid) {
    RenderPlan p = plan(4000000);
    p.segments = {segment("a", 1000000, 0, 1000000), segment("a", 0, 1000000, 1000010),
                  segment("a", 5000000, 1000010, 2000000, 2.0)};
    ResolvedTimeline t(p, tenSeconds(), {});
    EXPECT_EQ(t.frameCount, 120);
    // The 10 µs segment rounds to no frame and is dropped; others keep their plan index.
    ASSERT_EQ(t.segments.size(), 2u);
    EXPECT_EQ(t.segments[0].planIndex, 0);
    EXPECT_EQ(t.segments[0].firstFrame, 0);
    EXPECT_EQ(t.segments[0].endFrame, 30);
    EXPECT_EQ(t.segments[0].srcStartTicks, 30000);
    EXPECT_EQ(t.segments[0].srcEndTicks, 60000);
    EXPECT_EQ(t.segments[0].sampleOffsetTicks, 500);
    EXPECT_EQ(t.segments[1].planIndex, 2);
    // At speed 2, 30 output frames span 60000 ticks of source.
    EXPECT_EQ(t.segments[1].firstFrame, 30);
    EXPECT_EQ(t.segments[1].srcStartTicks, 150000);
    EXPECT_EQ(t.segments[1].srcEndTicks, 210000);
    EXPECT_EQ(t.sourceTicks(t.segments[1], 45), 180000);
    EXPECT_EQ(t.segmentIndex(29), 0);
    EXPECT_EQ(t.segmentIndex(30), 1);
    EXPECT_EQ(t.segmentIndex(60), std::nullopt);
}

TEST(ResolvedTimeline, EndsSnapWithinAQuarterFrame) {
    // Frames 1001 ticks apart: a 30-frame stretch from 0 computes 30000, the
    // nearest frame 30030 is 30 ticks off (within 250) and wins.
    Tables tables{{"a", table(30000, 1001, 300)}};
    RenderPlan p = plan(1000000);
    p.segments = {segment("a", 0, 0, 1000000)};
    EXPECT_EQ(ResolvedTimeline(p, tables, {}).segments[0].srcEndTicks, 30030);
    // Frames 3000 ticks apart (10 fps): 30000 lies on a frame; 31000 is 1000 off and stays exact.
    Tables sparse{{"a", table(30000, 3000, 100)}};
    p.segments = {segment("a", 33333, 0, 1000000)};
    auto s = ResolvedTimeline(p, sparse, {}).segments[0];
    EXPECT_EQ(s.srcStartTicks, 0);
    EXPECT_EQ(s.srcEndTicks, 30000);
    p.segments = {segment("a", 0, 33333, 1033333)};
    EXPECT_EQ(ResolvedTimeline(p, sparse, {}).segments[0].srcEndTicks, 30000);
    // Past the source end: the end.
    p.segments = {segment("a", 9500000, 0, 1000000)};
    EXPECT_EQ(ResolvedTimeline(p, tenSeconds(), {}).segments[0].srcEndTicks, 300000);
}

TEST(ResolvedTimeline, StillSegmentsCountMicroseconds) {
    RenderPlan p = plan(1000000);
    p.segments = {segment("img", 250, 0, 1000000)};
    auto s = ResolvedTimeline(p, {}, {"img"}).segments[0];
    EXPECT_TRUE(s.still);
    EXPECT_EQ(s.timescale, 1000000);
    EXPECT_EQ(s.srcStartTicks, 250);
    EXPECT_EQ(s.srcEndTicks - s.srcStartTicks, 1000000);
    EXPECT_EQ(s.sampleOffsetTicks, 0);
}

TEST(ResolvedTimeline, Transitions) {
    RenderPlan p = plan(3000000);
    auto cut = segment("a", 0, 0, 1000000);
    auto in = segment("a", 5000000, 1000000, 1500000);
    in.transitionIn = TransitionIn{TransitionStyle::flash, 2000000};
    p.segments = {cut, in};
    ResolvedTimeline t(p, tenSeconds(), {});
    ASSERT_TRUE(t.segments[1].transition);
    auto tr = *t.segments[1].transition;
    // Longer than the incoming segment: cut to its 15 frames.
    EXPECT_EQ(tr.frames, 15);
    EXPECT_EQ(tr.style, TransitionStyle::flash);
    EXPECT_EQ(tr.outgoingSegment, 0);
    EXPECT_EQ(tr.tailStartTicks, 30000);
    EXPECT_EQ(tr.tailEndTicks, 45000);
    EXPECT_EQ(tr.sampleOffsetTicks, 500);

    // The outgoing source runs out: the tail is clamped to its end, and when
    // less than one frame remains it is the last frame itself.
    p.segments[0] = segment("a", 9000000, 0, 1000000);
    tr = *ResolvedTimeline(p, tenSeconds(), {}).segments[1].transition;
    EXPECT_EQ(tr.tailStartTicks, 299000);
    EXPECT_EQ(tr.tailEndTicks, 300000);
    p.segments[0] = segment("a", 8800000, 0, 1000000);
    tr = *ResolvedTimeline(p, tenSeconds(), {}).segments[1].transition;
    EXPECT_EQ(tr.tailStartTicks, 294000);
    EXPECT_EQ(tr.tailEndTicks, 300000);

    // Out of a still: the tail sits at its end.
    p.segments[0] = segment("img", 0, 0, 1000000);
    tr = *ResolvedTimeline(p, tenSeconds(), {"img"}).segments[1].transition;
    EXPECT_EQ(tr.tailStartTicks, 1000000);
    EXPECT_EQ(tr.tailEndTicks, 1000000);
    EXPECT_EQ(tr.sampleOffsetTicks, 0);

    // A dropped sliver does not count: the transition comes from the last
    // resolved segment, and only when its frames meet the incoming ones.
    p.segments = {cut, segment("a", 0, 1000000, 1000010), in};
    auto t2 = ResolvedTimeline(p, tenSeconds(), {});
    ASSERT_EQ(t2.segments.size(), 2u);
    ASSERT_TRUE(t2.segments[1].transition);
    EXPECT_EQ(t2.segments[1].transition->outgoingSegment, 0);
    p.segments = {cut, segment("a", 0, 1033333, 1500000)};
    p.segments[1].transitionIn = TransitionIn{TransitionStyle::smooth, 100000};
    EXPECT_FALSE(ResolvedTimeline(p, tenSeconds(), {}).segments[1].transition);
}

TEST(ResolvedTimeline, Overlays) {
    RenderPlan p = plan(3000000);
    p.videoOverlays = {overlay("a", 1000000, 2000000, 0, 1000000), overlay("a", 500, 500, 0, 1000000),
                       overlay("a", 2000000, 1000000, 0, 1000000), overlay("a", 0, 1000000, 500000, 500000),
                       overlay("logo", 0, 0, 0, 3000000)};
    ResolvedTimeline t(p, tenSeconds(), {"logo"});
    ASSERT_EQ(t.overlays.size(), 4u);
    EXPECT_EQ(t.overlays[0].srcTicks, (TickRange{30000, 60000}));
    // Empty or reversed source stretches get one tick.
    EXPECT_EQ(t.overlays[1].srcTicks, (TickRange{0, 1}));
    EXPECT_EQ(t.overlays[2].srcTicks, (TickRange{60000, 60001}));
    EXPECT_EQ(t.overlays[3].planIndex, 4);
    EXPECT_EQ(t.overlays[3].srcTicks, std::nullopt);
    EXPECT_EQ(t.overlays[3].timescale, 1);
    EXPECT_EQ(t.overlays[3].endFrame, 90);
}

TEST(ResolvedTimeline, MissingAndEmptySources) {
    RenderPlan p = plan(2000000);
    p.segments = {segment("x", 0, 0, 1000000)};
    p.videoOverlays = {overlay("y", 0, 1000000, 0, 1000000)};
    try {
        ResolvedTimeline(p, {}, {});
        FAIL();
    } catch (const TimelineError& e) {
        EXPECT_EQ(e, TimelineError::missingSource("x"));
    }
    try {
        ResolvedTimeline(p, {{"x", PTSTable(600, {}, 0)}}, {});
        FAIL();
    } catch (const TimelineError& e) {
        EXPECT_EQ(e, TimelineError::emptySource("x"));
    }
    try {
        ResolvedTimeline(p, tenSeconds("x"), {});
        FAIL();
    } catch (const TimelineError& e) {
        EXPECT_EQ(e, TimelineError::missingSource("y"));
    }
}

TEST(ResolvedTimeline, SourceFrameIsTheOneDrawn) {
    // A 10 fps source on a 30 fps canvas: each output frame shows the
    // source frame nearest to it.
    RenderPlan p = plan(2000000);
    p.segments = {segment("a", 0, 0, 1000000), segment("img", 0, 1000000, 2000000)};
    ResolvedTimeline t(p, {{"a", table(30000, 3000, 100)}}, {"img"});
    EXPECT_EQ(t.sourceFrame(4), (SourceFrameRef{"a", 3000, 30000}));
    EXPECT_EQ(t.sourceFrame(5), (SourceFrameRef{"a", 6000, 30000}));
    EXPECT_EQ(t.sourceFrame(6), (SourceFrameRef{"a", 6000, 30000}));
    EXPECT_EQ(t.sourceFrame(40), std::nullopt);
    EXPECT_EQ(t.sourceFrame(70), std::nullopt);
}

TEST(ResolvedTimeline, SourceFramesOfRatesSpeedsAndEnds) {
    struct Case {
        const char* what;
        PTSTable table;
        int64_t outEndUs;
        double speed;
        std::vector<std::pair<int64_t, int64_t>> frameToIndex;
    };
    for (const auto& c : std::vector<Case>{
             {"29.97 on 30", table(30000, 1001, 90), 3000000, 1.0, {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {89, 89}}},
             {"speed 2", table(30000, 1000, 90), 1000000, 2.0, {{0, 0}, {1, 2}, {2, 4}, {3, 6}, {29, 58}}},
             {"speed 2 to the end", table(30000, 1000, 60), 1000000, 2.0, {{0, 0}, {1, 2}, {29, 58}}},
             {"whole source", table(30000, 1000, 30), 1000000, 1.0, {{0, 0}, {15, 15}, {29, 29}}},
             {"25 on 30", table(12800, 512, 50), 2000000, 1.0, {{0, 0}, {1, 1}, {5, 4}, {6, 5}, {59, 49}}}}) {
        RenderPlan p = plan(c.outEndUs);
        p.segments = {segment("a", 0, 0, c.outEndUs, c.speed)};
        ResolvedTimeline t(p, {{"a", c.table}}, {});
        for (auto [frame, index] : c.frameToIndex) {
            auto ref = t.sourceFrame(frame);
            ASSERT_TRUE(ref) << c.what << " frame " << frame;
            EXPECT_EQ(ref->ptsTicks, c.table.pts.at(static_cast<size_t>(index))) << c.what << " frame " << frame;
        }
    }
}

TEST(ResolvedTimeline, ComposedRanges) {
    RenderPlan p = plan(10000000);
    p.segments = {segment("a", 0, 0, 3333333)};
    ResolvedTimeline one(p, tenSeconds(), {});
    ASSERT_EQ(one.composedRanges({0, 60}).size(), 1u);
    EXPECT_EQ(one.composedRanges({0, 60})[0], (ComposedRange{{0, 60}, 0, false, {}, false}));
    EXPECT_TRUE(one.composedRanges({5, 5}).empty());

    auto in = segment("a", 0, 666667, 3333333);
    in.transitionIn = TransitionIn{TransitionStyle::smooth, 333333};
    p.segments = {segment("a", 0, 0, 666667), in};
    p.videoOverlays = {overlay("a", 0, 1000000, 1000000, 2000000)};
    p.background = PlanBackground{BackgroundFill{BackgroundFill::Gray{}}, "m", 1500000, 5000000};
    ResolvedTimeline t(p, tenSeconds(), {});
    auto ranges = t.composedRanges({0, 60});
    std::vector<ComposedRange> expected{
        {{0, 20}, 0, false, {}, false},   {{20, 30}, 1, true, {}, false},  {{30, 45}, 1, false, {0}, false},
        {{45, 60}, 1, false, {0}, true},
    };
    EXPECT_EQ(ranges, expected);
}

TEST(ResolvedTimeline, OutOfRangeArithmeticNamesTheValue) {
    auto failure = [](const RenderPlan& p, std::map<std::string, PTSTable, std::less<>> tables,
                      std::set<std::string, std::less<>> stills) -> std::string {
        try {
            ResolvedTimeline(p, std::move(tables), stills);
        } catch (const EngineFailure& e) {
            return std::to_string(e.code) + " " + e.message;
        }
        return "no failure";
    };
    const std::string prefix = "-32602 Params do not match the contract: ";
    const std::string expected = ": Expected a value that keeps the plan's times within 64 bits but found ";
    RenderPlan p = plan(1000000);
    p.segments = {segment("a", 0, 0, 1000000, 1e300)};
    EXPECT_EQ(failure(p, tenSeconds(), {"a"}), prefix + "plan.segments.Index 0.speed" + expected + "1e+300.");
    EXPECT_EQ(failure(p, tenSeconds(), {}), prefix + "plan.segments.Index 0.speed" + expected + "1e+300.");
    p.segments = {segment("a", 0, 0, 1000000)};
    p.segments[0].srcStartUs = INT64_MAX - 10;
    EXPECT_EQ(failure(p, tenSeconds(), {"a"}),
              prefix + "plan.segments.Index 0.srcStartUs" + expected + std::to_string(INT64_MAX - 10) + ".");
    // Both ends fit 64 bits on a very fine grid, their distance does not.
    p = plan(1000000, {2147483647, 2});
    p.segments = {segment("img", 0, -8000000000000000, 8000000000000000)};
    EXPECT_EQ(failure(p, {}, {"img"}), prefix + "plan.segments.Index 0.outEndUs" + expected + "8000000000000000.");
    p.segments = {};
    p.videoOverlays = {overlay("img", 0, 1000000, -8000000000000000, 8000000000000000)};
    EXPECT_EQ(failure(p, {}, {"img"}),
              prefix + "plan.videoOverlays.Index 0.outEndUs" + expected + "8000000000000000.");
    // A grid whose timescale leaves 32 bits names the rate.
    p = plan(1000000, {24000000000, 1000000000});
    EXPECT_EQ(failure(p, {}, {}), prefix + "plan.canvas.fps" + expected + "24000000000/1000000000.");
    p = plan(INT64_MAX);
    EXPECT_EQ(failure(p, {}, {}), "no failure");
}

TEST(TrackAllocator, ReusesAFreeLaneOfTheSameKind) {
    TrackAllocator lanes;
    EXPECT_EQ(lanes.place("a", "clip", 0, 50), 0);
    EXPECT_EQ(lanes.place("a", "clip", 50, 80), 0);
    EXPECT_EQ(lanes.place("a", "clip", 79, 90), 1);
    EXPECT_EQ(lanes.place("a", "tail", 100, 110), 2);
    EXPECT_EQ(lanes.place("b", "clip", 100, 110), 3);
    EXPECT_EQ(lanes.count(), 4);
}
