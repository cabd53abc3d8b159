#include "Core/Windows/CopyPlanner.hpp"
#include "Core/Windows/PictureCopy.hpp"
#include "tests/core/plan/PlanFixtures.hpp"

#include <gtest/gtest.h>

using namespace korvel;
using namespace korvel::fixtures;
using Runs = std::vector<CopyPlanner::Run>;
using Ranges = std::vector<FrameRange>;

namespace {

const FrameGrid grid30({30, 1});

ResolvedSegment tenSecondSegment(int64_t srcEndTicks = 300000) {
    ResolvedSegment s;
    s.assetId = "a";
    s.firstFrame = 0;
    s.endFrame = 300;
    s.srcStartTicks = 0;
    s.srcEndTicks = srcEndTicks;
    s.timescale = 30000;
    return s;
}

// Key frames at the given ticks, 1000 bytes apart.
CopyableSource syncs(std::vector<int64_t> ticks, int64_t endTicks = 300000) {
    CopyableSource c;
    c.timescale = 30000;
    c.syncTicks = std::move(ticks);
    for (size_t i = 0; i < c.syncTicks.size(); ++i) c.bytesBefore.push_back(static_cast<int64_t>(i) * 1000);
    c.totalBytes = static_cast<int64_t>(c.syncTicks.size()) * 1000;
    c.endTicks = endTicks;
    return c;
}

std::vector<int64_t> everySecond() {
    std::vector<int64_t> t;
    for (int64_t i = 0; i < 10; ++i) t.push_back(i * 30000);
    return t;
}

} // namespace

TEST(CopyPlanner, MergeAndSubtract) {
    EXPECT_EQ(CopyPlanner::merged({{5, 8}, {0, 5}, {9, 9}}), (Ranges{{0, 8}}));
    EXPECT_EQ(CopyPlanner::merged({{7, 9}, {0, 2}, {1, 3}}), (Ranges{{0, 3}, {7, 9}}));
    EXPECT_EQ(CopyPlanner::subtract({{2, 4}}, {{0, 10}}), (Ranges{{0, 2}, {4, 10}}));
    EXPECT_EQ(CopyPlanner::subtract({{0, 3}, {8, 12}}, {{0, 10}, {11, 20}}), (Ranges{{3, 8}, {12, 20}}));
    EXPECT_EQ(CopyPlanner::subtract({}, {{1, 2}}), (Ranges{{1, 2}}));
    EXPECT_EQ(CopyPlanner::subtract({{0, 50}}, {{10, 20}}), Ranges{});
}

TEST(CopyPlanner, EditedFrames) {
    RenderPlan p = plan(10000000);
    p.segments = {segment("a", 0, 0, 10000000)};
    p.textItems = {caption("t", 0, 1000000)};
    ResolvedTimeline t(p, {{"a", table(30000, 1000, 300)}}, {});
    EXPECT_EQ(CopyPlanner::framesEdited(p, t, RenderVariant::after), (Ranges{{0, 30}}));
    p.textItems = {caption("t", 0, 1000001)};
    EXPECT_EQ(CopyPlanner::framesEdited(p, t, RenderVariant::after), (Ranges{{0, 31}}));

    p.textItems = {};
    p.colorStack = {look(5000000, std::nullopt)};
    EXPECT_EQ(CopyPlanner::framesEdited(p, t, RenderVariant::after), (Ranges{{150, 300}}));
    p.colorStack = {look(std::nullopt, 100000)};
    EXPECT_EQ(CopyPlanner::framesEdited(p, t, RenderVariant::after), (Ranges{{0, 3}}));

    p.colorStack = {};
    p.videoOverlays = {overlay("a", 0, 1000000, 2000000, 3000000)};
    p.background = PlanBackground{BackgroundFill{BackgroundFill::Gray{}}, "m", 4000000, 5000000};
    ResolvedTimeline withOverlay(p, {{"a", table(30000, 1000, 300)}}, {});
    EXPECT_EQ(CopyPlanner::framesEdited(p, withOverlay, RenderVariant::after), (Ranges{{60, 90}, {120, 150}}));
    EXPECT_EQ(CopyPlanner::framesEdited(p, withOverlay, RenderVariant::before), Ranges{});
}

TEST(CopyPlanner, FramingOfKeyframes) {
    ResolvedSegment s = tenSecondSegment();
    s.endFrame = 90;
    EXPECT_TRUE(CopyPlanner::framing(s, grid30).empty());
    s.transform.keyframes = {keyframe(0, 0.5, 0.5, 1.0), keyframe(3000000, 0.5, 0.5, 1.0)};
    EXPECT_TRUE(CopyPlanner::framing(s, grid30).empty());
    s.transform.keyframes = {keyframe(0, 0.5, 0.5, 1.0), keyframe(1000000, 0.4, 0.5, 1.2),
                             keyframe(2000000, 0.5, 0.5, 1.0)};
    EXPECT_EQ(CopyPlanner::merged(CopyPlanner::framing(s, grid30)), (Ranges{{0, 61}}));
    s.transform.keyframes = {keyframe(1000000, 0.5, 0.5, 1.1)};
    EXPECT_EQ(CopyPlanner::framing(s, grid30), (Ranges{{0, 31}, {30, 90}}));
    // A keyframe past the segment gives a reversed range, which merging drops.
    s.transform.keyframes = {keyframe(9000000, 0.5, 0.5, 1.1)};
    EXPECT_EQ(CopyPlanner::merged(CopyPlanner::framing(s, grid30)), (Ranges{{0, 271}}));
}

TEST(CopyPlanner, CutsOnTheFirstSyncSampleOfEveryTwoSeconds) {
    Runs runs = CopyPlanner::split({0, 300}, tenSecondSegment(), syncs(everySecond()), grid30);
    Runs expected{{{0, 60}, {0, 60000}},         {{60, 120}, {60000, 120000}},   {{120, 180}, {120000, 180000}},
                  {{180, 240}, {180000, 240000}}, {{240, 300}, {240000, 300000}}};
    EXPECT_EQ(runs, expected);

    // Not at the source end: the last run ends at the last cut.
    runs = CopyPlanner::split({0, 290}, tenSecondSegment(), syncs(everySecond()), grid30);
    ASSERT_EQ(runs.size(), 5u);
    EXPECT_EQ(runs.back(), (CopyPlanner::Run{{240, 270}, {240000, 270000}}));
    // Segment shorter than its source: no run up to the source end either.
    runs = CopyPlanner::split({0, 300}, tenSecondSegment(299000), syncs(everySecond()), grid30);
    EXPECT_EQ(runs.back(), (CopyPlanner::Run{{240, 270}, {240000, 270000}}));
    // A free range that starts late begins at the first sync sample in reach.
    runs = CopyPlanner::split({100, 300}, tenSecondSegment(), syncs(everySecond()), grid30);
    EXPECT_EQ(runs.front(), (CopyPlanner::Run{{120, 180}, {120000, 180000}}));
}

TEST(CopyPlanner, SyncSamplesOffTheFrameGridAreNoCuts) {
    // 60300 lies 0.3 frames past frame 60, beyond the quarter-frame tolerance.
    Runs runs = CopyPlanner::split({0, 300}, tenSecondSegment(), syncs({0, 60300, 120000, 180000}), grid30);
    Runs expected{{{0, 120}, {0, 120000}}, {{120, 180}, {120000, 180000}}, {{180, 300}, {180000, 300000}}};
    EXPECT_EQ(runs, expected);
    EXPECT_TRUE(CopyPlanner::split({0, 300}, tenSecondSegment(), syncs({60300}), grid30).empty());
    EXPECT_EQ(CopyPlanner::toleranceTicks(syncs({}), grid30), 250);
    CopyableSource ninety;
    ninety.timescale = 90000;
    EXPECT_EQ(CopyPlanner::toleranceTicks(ninety, FrameGrid({30000, 1001})), 751);
}

TEST(CopyPlanner, RunsHoldAtMostTheByteCap) {
    for (int64_t extra : {0, 1}) {
        CopyableSource c = syncs({0, 60000});
        c.bytesBefore = {0, SegmentWindows::copyMaxBytes + extra};
        c.totalBytes = c.bytesBefore.back() + 5000;
        auto s = tenSecondSegment(60000);
        s.endFrame = 60;
        Runs runs = CopyPlanner::split({0, 60}, s, c, grid30);
        EXPECT_EQ(runs.size(), extra == 0 ? 1u : 0u) << extra;
    }
    // The tail to the source end is measured against the total.
    for (int64_t extra : {0, 1}) {
        CopyableSource c = syncs({0});
        c.totalBytes = SegmentWindows::copyMaxBytes + extra;
        EXPECT_EQ(CopyPlanner::split({0, 300}, tenSecondSegment(), c, grid30).size(), extra == 0 ? 1u : 0u);
    }
}

TEST(PictureCopy, AllowsOnlyAnUntouchedWholeSource) {
    RenderPlan p = plan(10000000);
    p.canvas.width = 1920;
    p.canvas.height = 1080;
    p.segments = {segment("a", 0, 0, 10000000)};
    ResolvedTimeline t(p, {{"a", table(30000, 1000, 300)}}, {});
    PictureCopy::Source src{1920, 1080, 0, 300000, 30000, 12000000, false, true};
    EXPECT_TRUE(PictureCopy::allowed(p, t, src, std::nullopt));
    EXPECT_TRUE(PictureCopy::allowed(p, t, src, 8000000));
    src.bitsPerSecond = 12000001;
    EXPECT_FALSE(PictureCopy::allowed(p, t, src, 8000000));
    EXPECT_TRUE(PictureCopy::allowed(p, t, src, std::nullopt));

    struct Case {
        const char* name;
        std::function<void(PictureCopy::Source&, RenderPlan&)> change;
    };
    std::vector<Case> refusals{
        {"HDR", [](auto& s, auto&) { s.isHDR = true; }},
        {"not deliverable", [](auto& s, auto&) { s.isDeliverable = false; }},
        {"times the writer can't carry", [](auto& s, auto&) { s.timesWritable = false; }},
        {"other size", [](auto& s, auto&) { s.displayWidth = 1280; }},
        {"late first frame", [](auto& s, auto&) { s.firstPtsTicks = 1000; }},
        {"other timescale", [](auto& s, auto&) { s.timescale = 600; }},
        {"ends early", [](auto& s, auto&) { s.endTicks = 300501; }},
        // The copy can't write what the pictures don't hold.
        {"pictures end first", [](auto& s, auto&) { s.endTicks = 299499; }},
        {"plan outlasts the segment", [](auto&, auto& p) { p.durationUs = 11000000; }},
        {"black before the segment", [](auto&, auto& p) {
             p.durationUs = 11000000;
             p.segments = {segment("a", 0, 1000000, 11000000)};
         }},
        {"text", [](auto&, auto& p) { p.textItems = {caption("t", 0, 100000)}; }},
        {"grade", [](auto&, auto& p) { p.colorStack = {look(std::nullopt, std::nullopt)}; }},
        {"zoom", [](auto&, auto& p) { p.segments[0].transform.keyframes = {keyframe(0, 0.5, 0.5, 1.5)}; }},
        {"late start", [](auto&, auto& p) { p.segments[0].srcStartUs = 1000000; }},
        {"two segments", [](auto&, auto& p) {
             p.segments[0].outEndUs = 5000000;
             p.segments.push_back(segment("a", 5000000, 5000000, 10000000));
         }},
    };
    for (const auto& c : refusals) {
        PictureCopy::Source s{1920, 1080, 0, 300000, 30000, 1000, false, true};
        RenderPlan q = p;
        c.change(s, q);
        ResolvedTimeline tq(q, {{"a", table(30000, 1000, 300)}}, {});
        EXPECT_FALSE(PictureCopy::allowed(q, tq, s, std::nullopt)) << c.name;
    }
    // Within half an output frame of the end passes (half of 1000 ticks, truncated).
    for (int64_t end : {299500, 300500}) {
        PictureCopy::Source s{1920, 1080, 0, end, 30000, 1000, false, true};
        EXPECT_TRUE(PictureCopy::allowed(p, t, s, std::nullopt)) << end;
    }
}
