#include "Core/Digest.hpp"
#include "Core/Engine.hpp"
#include "Core/Windows/SegmentWindows.hpp"
#include "Core/Time.hpp"
#include "tests/core/plan/PlanFixtures.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace korvel;
using namespace korvel::fixtures;
namespace SW = korvel::SegmentWindows;
using Ranges = std::vector<FrameRange>;

namespace {

const std::string engine = Engine::renderId(1);
const std::string hashA = Digest::sha256("source a");
const std::string hashB = Digest::sha256("source b");
using Tables = std::map<std::string, PTSTable, std::less<>>;

SW::Sources sourcesAB() { return {{"a", {"/media/a.mp4", hashA}}, {"b", {"/media/b.mp4", hashB}}}; }
Tables tablesAB() { return {{"a", table(30000, 1000, 300)}, {"b", table(30000, 1000, 300)}}; }

ResolvedSegment resolvedSegment(int64_t firstFrame, int64_t endFrame, int64_t srcStartTicks, double speed) {
    ResolvedSegment s;
    s.assetId = "a";
    s.firstFrame = firstFrame;
    s.endFrame = endFrame;
    s.srcStartTicks = srcStartTicks;
    s.timescale = 30000;
    s.speed = speed;
    return s;
}

// The walk exactly as written, one two-second bucket at a time.
Ranges naiveFrameRanges(const ResolvedSegment& s, const FrameGrid& grid) {
    int64_t srcStartUs = std::llround(static_cast<double>(s.srcStartTicks) * 1000000.0 / s.timescale);
    std::vector<int64_t> bounds{s.firstFrame};
    for (int64_t off = (srcStartUs / 2000000 + 1) * 2000000;; off += 2000000) {
        int64_t g = std::llround(static_cast<double>(off - srcStartUs) / s.speed);
        int64_t b = s.firstFrame + grid.frame(g);
        if (b >= s.endFrame) {
            bounds.push_back(s.endFrame);
            break;
        }
        if (b > bounds.back()) bounds.push_back(b);
    }
    Ranges out;
    for (size_t i = 0; i + 1 < bounds.size(); ++i) out.push_back({bounds[i], bounds[i + 1]});
    return out;
}

// One source a, every second a key frame, 1000 bytes apart.
SW::Copyables copyableA() {
    CopyableSource c;
    c.timescale = 30000;
    for (int64_t i = 0; i < 10; ++i) {
        c.syncTicks.push_back(i * 30000);
        c.bytesBefore.push_back(i * 1000);
    }
    c.totalBytes = 10000;
    c.endTicks = 300000;
    return {{"a", c}};
}

struct Listed {
    ResolvedTimeline timeline;
    std::vector<SegmentWindow> windows;
};

Listed listed(const RenderPlan& p, RenderVariant variant, const SW::Copyables& copyable = {},
              const SW::Sources& sources = sourcesAB(), const SW::Mattes& mattes = {}) {
    RenderPlan resolved = p.resolved(variant);
    ResolvedTimeline t(resolved, tablesAB(), {});
    return {t, SW::list(resolved, t, sources, mattes, variant, engine, copyable)};
}

Ranges framesOf(const std::vector<SegmentWindow>& windows) {
    Ranges out;
    for (const auto& w : windows) out.push_back({w.firstFrame, w.endFrame});
    return out;
}

std::vector<std::string> keysOf(const std::vector<SegmentWindow>& windows) {
    std::vector<std::string> out;
    for (const auto& w : windows) out.push_back(w.key);
    return out;
}

} // namespace

TEST(SegmentWindows, TwoSecondWindowsOfSourceTime) {
    FrameGrid grid({30, 1});
    struct Case {
        const char* name;
        ResolvedSegment segment;
        Ranges expected;
    };
    std::vector<Case> cases{
        {"from zero", resolvedSegment(10, 160, 0, 1.0), {{10, 70}, {70, 130}, {130, 160}}},
        {"from 3.5 s", resolvedSegment(0, 100, 105000, 1.0), {{0, 15}, {15, 75}, {75, 100}}},
        {"on a boundary", resolvedSegment(0, 100, 60000, 1.0), {{0, 60}, {60, 100}}},
        {"speed 2", resolvedSegment(0, 100, 0, 2.0), {{0, 30}, {30, 60}, {60, 90}, {90, 100}}},
        {"speed 0.5", resolvedSegment(0, 150, 0, 0.5), {{0, 120}, {120, 150}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SW::frameRanges(c.segment, grid), c.expected) << c.name;
    }
}

TEST(SegmentWindows, FastSegmentsGiveTheSameWindowsWithoutWalkingEveryBucket) {
    for (FrameRate fps : {FrameRate{30, 1}, FrameRate{30000, 1001}, FrameRate{24, 1}}) {
        FrameGrid grid(fps);
        for (double speed : {0.3, 1.0, 1.7, 7.0, 61.0, 250.0, 1000.0, 12345.6}) {
            for (int64_t start : {int64_t{0}, int64_t{12345}, int64_t{59999}}) {
                auto s = resolvedSegment(3, 900, start, speed);
                EXPECT_EQ(SW::frameRanges(s, grid), naiveFrameRanges(s, grid)) << speed << " " << start;
            }
        }
    }
    // A speed whose walk would take billions of buckets still answers.
    auto huge = resolvedSegment(0, 108000, 0, 1e9);
    auto ranges = SW::frameRanges(huge, FrameGrid({30, 1}));
    EXPECT_EQ(ranges.size(), 108000u);
    EXPECT_EQ(ranges.back(), (FrameRange{107999, 108000}));
}

TEST(SegmentWindows, RenderWindowsOnlyWithoutCopyableSources) {
    RenderPlan p = plan(5000000);
    p.segments = {segment("a", 0, 0, 5000000)};
    auto l = listed(p, RenderVariant::after);
    EXPECT_EQ(framesOf(l.windows), (Ranges{{0, 60}, {60, 120}, {120, 150}}));
    for (const auto& w : l.windows) {
        EXPECT_FALSE(w.copy);
        EXPECT_EQ(w.key, Digest::sha256(w.fingerprint));
        EXPECT_EQ(w.key.size(), 64u);
        EXPECT_EQ(w.fingerprint, SW::fingerprint({w.firstFrame, w.endFrame}, p, l.timeline, sourcesAB(), {},
                                                 RenderVariant::after, engine));
    }
    EXPECT_EQ(l.windows[1].outStartUs, 2000000);
    EXPECT_EQ(l.windows[2].outEndUs, 5000000);
}

TEST(SegmentWindows, FingerprintIsTheCanonicalRecord) {
    RenderPlan p = plan(5000000);
    p.segments = {segment("a", 0, 0, 5000000)};
    auto l = listed(p, RenderVariant::before);
    EXPECT_EQ(l.windows[0].fingerprint,
              R"({"color":[],"engine":"0.1.0.r1","fps":{"den":1,"num":30},"frames":60,"height":1920,)"
              R"("overlays":[],"quality":"preview_1620_h264_16mbps","source":")" +
                  hashA +
                  R"(","speed":1,"srcStartTicks":0,"text":[],"timescale":30000,"transform":[],"variant":"before","width":1080})");
}

TEST(SegmentWindows, KeysFollowContentNotNamesOrPlaces) {
    RenderPlan p = plan(12000000);
    p.segments = {segment("a", 1000000, 0, 5000000)};
    p.textItems = {caption("title-1", 500000, 2500000)};
    p.colorStack = {look(std::nullopt, std::nullopt)};
    auto keys = keysOf(listed(p, RenderVariant::after).windows);

    // Another path for the same content.
    auto moved = sourcesAB();
    moved["a"].path = "/elsewhere/renamed.mov";
    EXPECT_EQ(keysOf(listed(p, RenderVariant::after, {}, moved).windows), keys);
    // Another asset id for the same content.
    RenderPlan renamed = p;
    renamed.segments[0].assetId = "b";
    auto same = sourcesAB();
    same["b"].contentHash = hashA;
    EXPECT_EQ(keysOf(listed(renamed, RenderVariant::after, {}, same).windows), keys);
    // Another text id.
    RenderPlan retitled = p;
    retitled.textItems[0].id = "title-2";
    EXPECT_EQ(keysOf(listed(retitled, RenderVariant::after).windows), keys);
    // Later on the timeline, text moving with it.
    RenderPlan later = p;
    later.segments[0].outStartUs += 3000000;
    later.segments[0].outEndUs += 3000000;
    later.textItems[0].outStartUs += 3000000;
    later.textItems[0].outEndUs += 3000000;
    later.textItems[0].lines[0].runs[0].outStartUs += 3000000;
    later.textItems[0].lines[0].runs[0].outEndUs += 3000000;
    auto shifted = listed(later, RenderVariant::after).windows;
    EXPECT_EQ(keysOf(shifted), keys);
    EXPECT_EQ(shifted[0].firstFrame, 90);

    // What changes pictures changes keys.
    auto before = keysOf(listed(p, RenderVariant::before).windows);
    ASSERT_EQ(before.size(), keys.size());
    for (size_t i = 0; i < keys.size(); ++i) EXPECT_NE(before[i], keys[i]);
    auto otherContent = sourcesAB();
    otherContent["a"].contentHash = hashB;
    EXPECT_NE(keysOf(listed(p, RenderVariant::after, {}, otherContent).windows), keys);
    RenderPlan reworded = p;
    reworded.textItems[0].lines[0].runs[0].text = "hullo";
    auto rekeyed = keysOf(listed(reworded, RenderVariant::after).windows);
    EXPECT_NE(rekeyed[0], keys[0]);
    EXPECT_EQ(rekeyed[2], keys[2]);  // the text ended before the third window
}

TEST(SegmentWindows, CopyWindowsWhereTheSourceShowsUntouched) {
    RenderPlan p = plan(10000000);
    p.segments = {segment("a", 0, 0, 10000000)};
    p.textItems = {caption("t", 3000000, 3500000)};
    auto l = listed(p, RenderVariant::after, copyableA());
    EXPECT_EQ(framesOf(l.windows), (Ranges{{0, 60}, {60, 90}, {90, 120}, {120, 180}, {180, 240}, {240, 300}}));
    std::vector<bool> copied;
    for (const auto& w : l.windows) copied.push_back(w.copy.has_value());
    EXPECT_EQ(copied, (std::vector<bool>{true, true, false, true, true, true}));
    EXPECT_EQ(l.windows[1].copy, (CopyRange{"a", 60000, 90000}));
    EXPECT_EQ(l.windows[1].fingerprint, "copy:" + hashA + ":60000:90000:30000:" + engine);
    EXPECT_EQ(l.windows[1].key, Digest::sha256(l.windows[1].fingerprint));
    // The last window runs to the source end.
    EXPECT_EQ(l.windows[5].copy, (CopyRange{"a", 240000, 300000}));

    // A copy run in the middle of a two-second window leaves render windows
    // on both sides of it.
    CopyableSource mid = copyableA().at("a");
    mid.syncTicks = {0, 15000, 45000, 60000, 120000};
    mid.bytesBefore = {0, 1000, 2000, 3000, 4000};
    p.textItems = {caption("t", 0, 500000), caption("u", 1500000, 1800000)};
    l = listed(p, RenderVariant::after, {{"a", mid}});
    auto frames = framesOf(l.windows);
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(Ranges(frames.begin(), frames.begin() + 3), (Ranges{{0, 15}, {15, 45}, {45, 60}}));
    EXPECT_TRUE(l.windows[1].copy);
    EXPECT_FALSE(l.windows[0].copy);
    EXPECT_FALSE(l.windows[2].copy);
    // Windows never overlap and cover the segment.
    for (size_t i = 1; i < l.windows.size(); ++i) EXPECT_EQ(l.windows[i].firstFrame, l.windows[i - 1].endFrame);
    EXPECT_EQ(l.windows.back().endFrame, 300);
}

TEST(SegmentWindows, NoCopiesOfGradedZoomedOrFastSegments) {
    struct Case {
        const char* name;
        std::function<void(RenderPlan&)> edit;
    };
    std::vector<Case> cases{
        {"grade", [](RenderPlan& p) { p.colorStack = {look(std::nullopt, std::nullopt)}; }},
        {"zoom", [](RenderPlan& p) { p.segments[0].transform.keyframes = {keyframe(0, 0.5, 0.5, 1.2)}; }},
        {"speed", [](RenderPlan& p) { p.segments[0] = segment("a", 0, 0, 5000000, 2.0); }},
    };
    for (const auto& c : cases) {
        RenderPlan p = plan(10000000);
        p.segments = {segment("a", 0, 0, 10000000)};
        c.edit(p);
        for (const auto& w : listed(p, RenderVariant::after, copyableA()).windows) EXPECT_FALSE(w.copy) << c.name;
    }
    // The plain cut of a zoomed plan copies: framing is not drawn there.
    RenderPlan p = plan(10000000);
    p.segments = {segment("a", 0, 0, 10000000)};
    p.segments[0].transform.keyframes = {keyframe(0, 0.5, 0.5, 1.2)};
    auto windows = listed(p, RenderVariant::before, copyableA()).windows;
    EXPECT_TRUE(std::all_of(windows.begin(), windows.end(), [](const auto& w) { return w.copy.has_value(); }));
}

TEST(SegmentWindows, CopyRecognitionNeedsTheCopyKey) {
    RenderPlan p = plan(10000000);
    p.segments = {segment("a", 0, 0, 10000000)};
    p.textItems = {caption("t", 3000000, 3500000)};
    auto l = listed(p, RenderVariant::after, copyableA());
    for (const auto& w : l.windows) {
        auto range = SW::copyRange({w.firstFrame, w.endFrame}, w.key, l.timeline, sourcesAB(), copyableA(), engine);
        EXPECT_EQ(range, w.copy) << w.firstFrame;
    }
    const auto& copy = l.windows[0];
    // A key handed out for another engine version, or no key at all.
    std::string otherEngine = Digest::sha256("copy:" + hashA + ":0:60000:30000:0.1.0.r2");
    EXPECT_EQ(SW::copyRange({0, 60}, otherEngine, l.timeline, sourcesAB(), copyableA(), engine), std::nullopt);
    EXPECT_EQ(SW::copyRange({0, 60}, "../../etc", l.timeline, sourcesAB(), copyableA(), engine), std::nullopt);
    // A render window's key, asked for frames that could be copied.
    EXPECT_EQ(SW::copyRange({0, 60}, l.windows[2].key, l.timeline, sourcesAB(), copyableA(), engine), std::nullopt);
    EXPECT_EQ(SW::copyRange({0, 60}, copy.key, l.timeline, sourcesAB(), {}, engine), std::nullopt);
    // Up to the source end even without a key frame there.
    std::string tail = Digest::sha256("copy:" + hashA + ":270000:300000:30000:" + engine);
    EXPECT_EQ(SW::copyRange({270, 300}, tail, l.timeline, sourcesAB(), copyableA(), engine),
              (CopyRange{"a", 270000, 300000}));
    // Boundaries off the key frames.
    std::string off = Digest::sha256("copy:" + hashA + ":30000:60000:30000:" + engine);
    EXPECT_EQ(SW::copyRange({31, 60}, off, l.timeline, sourcesAB(), copyableA(), engine), std::nullopt);
}

// A segment that outlasts its source's ten seconds of pictures: the copy
// would write fewer frames than the window holds, so the end is rendered.
TEST(SegmentWindows, NoCopyPastTheEndOfThePictures) {
    RenderPlan p = plan(12000000);
    p.segments = {segment("a", 0, 0, 12000000)};
    auto l = listed(p, RenderVariant::after, copyableA());
    ASSERT_EQ(l.windows.back().endFrame, 360);
    for (const auto& w : l.windows) {
        if (w.endFrame > 300) {
            EXPECT_FALSE(w.copy) << w.firstFrame << "-" << w.endFrame;
        }
    }
    EXPECT_TRUE(l.windows.front().copy);
    // Nor with the key of the window that did reach the pictures' end.
    const std::string tail = Digest::sha256("copy:" + hashA + ":240000:300000:30000:" + engine);
    EXPECT_EQ(SW::copyRange({240, 360}, tail, l.timeline, sourcesAB(), copyableA(), engine), std::nullopt);
}

TEST(SegmentWindows, GapWindowsAndMissingSources) {
    RenderPlan p = plan(10000000);
    p.segments = {segment("a", 0, 2000000, 4000000)};
    ResolvedTimeline t(p, tablesAB(), {});
    EXPECT_EQ(SW::fingerprint({0, 45}, p, t, sourcesAB(), {}, RenderVariant::after, engine), "gap:45:" + engine);
    try {
        SW::list(p, t, {}, {}, RenderVariant::after, engine, {});
        FAIL();
    } catch (const TimelineError& e) {
        EXPECT_EQ(e, TimelineError::missingSource("a"));
    }
    EXPECT_THROW(SW::fingerprint({60, 90}, p, t, {}, {}, RenderVariant::after, engine), TimelineError);
}

TEST(SegmentWindows, ArithmeticOutOfRangeMakesNoWindow) {
    RenderPlan p = plan(10000000);
    p.segments = {segment("a", 0, 0, 1000000)};
    ResolvedTimeline t(p, tablesAB(), {});
    t.segments[0].srcStartTicks = INT64_MAX - 10;
    EXPECT_THROW(SW::list(p, t, sourcesAB(), {}, RenderVariant::after, engine, {}), TimeOverflow);
    EXPECT_EQ(SW::copyRange({0, 30}, std::string(64, '0'), t, sourcesAB(), copyableA(), engine), std::nullopt);
}

// Windows past the plan's end or before its start don't exist, however far
// the segment reaches: the listing is as long as the plan, not the segment.
TEST(SegmentWindows, ListingStaysInsideThePlan) {
    struct Case {
        const char* name;
        int64_t outStartUs, outEndUs;
        Ranges expected;
    };
    const Case cases[] = {
        {"to 9 * 10^18", 0, 9'000'000'000'000'000'000, {{0, 60}, {60, 120}, {120, 150}}},
        {"to 10^13", 0, 10'000'000'000'000, {{0, 60}, {60, 120}, {120, 150}}},
        // Cut where the source's own two-second buckets fall, as the whole list would be.
        {"from far before the start", INT64_MIN / 2, 2'000'000, {{0, 19}, {19, 60}}},
        {"wholly past the end", 6'000'000, 10'000'000, {}},
    };
    for (const auto& c : cases) {
        RenderPlan p = plan(5000000);
        p.segments = {segment("a", 0, c.outStartUs, c.outEndUs)};
        ResolvedTimeline t(p, {}, {"a"});
        EXPECT_EQ(framesOf(SW::list(p, t, sourcesAB(), {}, RenderVariant::after, engine, {})), c.expected) << c.name;
    }
}

TEST(SegmentWindows, WindowsCutToAStretchMatchTheWholeList) {
    FrameGrid grid({30, 1});
    for (double speed : {0.5, 1.0, 3.0}) {
        auto s = resolvedSegment(-500, 900, 12345, speed);
        for (FrameRange within : {FrameRange{0, 900}, FrameRange{-500, 10}, FrameRange{77, 400}, FrameRange{899, 5000}}) {
            Ranges expected;
            for (const auto& r : SW::frameRanges(s, grid)) {
                FrameRange cut{std::max(r.lowerBound, within.lowerBound), std::min(r.upperBound, within.upperBound)};
                if (cut.lowerBound < cut.upperBound) expected.push_back(cut);
            }
            EXPECT_EQ(SW::frameRanges(s, grid, within), expected) << speed << " " << within.lowerBound;
        }
    }
}
