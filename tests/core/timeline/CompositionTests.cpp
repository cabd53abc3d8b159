#include "Core/Jobs.hpp"
#include "Core/Timeline/Composition.hpp"
#include "tests/core/plan/PlanFixtures.hpp"

#include <gtest/gtest.h>

using namespace korvel;

namespace {

// 30 fps: 30000 ticks a second, 1000 a frame.
ResolvedTimeline timeline(int64_t frames) {
    ResolvedTimeline t;
    t.grid = FrameGrid(FrameRate{30, 1});
    t.frameCount = frames;
    return t;
}

ResolvedSegment clip(const std::string& asset, int64_t first, int64_t end, int64_t srcStart = 0, int64_t srcEnd = -1,
                     double speed = 1.0) {
    ResolvedSegment s;
    s.assetId = asset;
    s.firstFrame = first;
    s.endFrame = end;
    s.speed = speed;
    s.timescale = 600;
    s.srcStartTicks = srcStart;
    // 20 source ticks a frame at 600.
    s.srcEndTicks = srcEnd >= 0 ? srcEnd : srcStart + (end - first) * 20;
    return s;
}

CompositionFacts facts(std::initializer_list<std::string> assets, int64_t endTicks = 600 * 100) {
    CompositionFacts f;
    for (const auto& a : assets) f.videos[a] = {600, 0, endTicks};
    f.size = {640, 360};
    return f;
}

std::vector<FrameRange> runs(const Composition& c) {
    std::vector<FrameRange> out;
    for (const auto& i : c.instructions) out.push_back(i.range.frames);
    return out;
}

} // namespace

TEST(Composition, WindowIsFramedByTwoBlankRunsOverTheFullLength) {
    auto t = timeline(100);
    t.segments = {clip("a", 0, 50), clip("b", 50, 100)};
    auto c = CompositionLayout::build(t, facts({"a", "b"}), FrameRange{10, 20});
    EXPECT_EQ(runs(c), (std::vector<FrameRange>{{0, 10}, {10, 20}, {20, 100}}));
    EXPECT_FALSE(c.instructions[0].range.segment);
    EXPECT_EQ(c.instructions[1].range.segment, std::optional<int64_t>(0));
    EXPECT_EQ(c.instructions[2].start, 20'000);
    EXPECT_EQ(c.instructions[2].duration, 80'000);
    EXPECT_EQ(c.frameCount, 100);
    EXPECT_EQ(c.durationTicks(), 100'000);
    // Only the segment inside the window gets a track.
    EXPECT_EQ(c.layers.clips.size(), 1u);
    EXPECT_EQ(c.layers.clips.at(0), 1);
}

TEST(Composition, EmptyWindowAndStillsOnlyKeepOneEmptyTrack) {
    auto t = timeline(100);
    t.segments = {clip("a", 0, 100)};
    auto c = CompositionLayout::build(t, facts({"a"}), FrameRange{5, 5});
    EXPECT_EQ(runs(c), (std::vector<FrameRange>{{0, 5}, {5, 100}}));
    EXPECT_TRUE(c.layers.clips.empty());
    ASSERT_EQ(c.tracks.size(), 1u);
    EXPECT_EQ(c.tracks[0].trackId, 1);

    auto stills = timeline(30);
    ResolvedSegment photo = clip("p", 0, 30);
    photo.still = true;
    stills.segments = {photo};
    c = CompositionLayout::build(stills, facts({}), std::nullopt);
    ASSERT_EQ(c.tracks.size(), 1u);
    EXPECT_EQ(c.tracks[0].trackId, 1);
    ASSERT_EQ(c.tracks[0].edits.size(), 1u);
    EXPECT_FALSE(c.tracks[0].edits[0].source);
    EXPECT_EQ(c.tracks[0].edits[0].outDuration, 30'000);
    EXPECT_EQ(c.layers, LayerTracks{});
}

TEST(Composition, LanesAreSharedByAssetAndRole) {
    auto t = timeline(90);
    t.segments = {clip("a", 0, 30), clip("a", 30, 60, 600), clip("b", 60, 90)};
    ResolvedOverlay ov;
    ov.assetId = "a";
    ov.firstFrame = 0;
    ov.endFrame = 90;
    ov.srcTicks = TickRange{0, 1800};
    ov.timescale = 600;
    t.overlays = {ov};
    auto c = CompositionLayout::build(t, facts({"a", "b"}), std::nullopt);
    EXPECT_EQ(c.layers.clips, (std::map<int64_t, int32_t>{{0, 1}, {1, 1}, {2, 2}}));
    EXPECT_EQ(c.layers.overlays, (std::map<int64_t, int32_t>{{0, 3}}));
    EXPECT_EQ(c.track(1)->edits.size(), 2u);
}

TEST(Composition, TransitionsNeedTailsExceptFlashes) {
    for (auto style : {TransitionStyle::smooth, TransitionStyle::flash}) {
        auto t = timeline(60);
        auto incoming = clip("b", 30, 60);
        incoming.transition = ResolvedTransition{style, 10, 0, 600, 800, 0};
        t.segments = {clip("a", 0, 30), incoming};
        auto c = CompositionLayout::build(t, facts({"a", "b"}), std::nullopt);
        bool flash = style == TransitionStyle::flash;
        EXPECT_EQ(c.layers.tails.count(1), flash ? 0u : 1u);
        const GraphInstruction* during = c.instruction(35);
        ASSERT_TRUE(during);
        EXPECT_TRUE(during->range.transitioning);
        std::vector<int32_t> expected{c.layers.clips.at(1)};
        if (!flash) expected.push_back(c.layers.tails.at(1));
        EXPECT_EQ(during->requiredSourceTrackIDs, expected);
        EXPECT_FALSE(c.instruction(45)->range.transitioning);
    }
}

TEST(Composition, RequiredTracksInTheirOrder) {
    LayerTracks tracks;
    tracks.clips = {{0, 1}};
    tracks.masks = {{0, 2}};
    tracks.tails = {{0, 3}};
    tracks.maskTails = {{0, 4}};
    tracks.overlays = {{0, 5}, {1, 6}};
    tracks.overlayMasks = {{1, 7}};
    tracks.backgroundFill = 8;
    ComposedRange r{{0, 10}, 0, true, {1, 0}, true};
    EXPECT_EQ(CompositionLayout::requiredTracks(r, tracks), (std::vector<int32_t>{1, 2, 3, 4, 6, 7, 5, 8}));
    r.background = false;
    r.transitioning = false;
    EXPECT_EQ(CompositionLayout::requiredTracks(r, tracks), (std::vector<int32_t>{1, 6, 7, 5}));
}

TEST(Composition, TimedInsertsScaleOnlyWhenTheyMust) {
    struct Case {
        int64_t srcEnd;
        double speed;
        int64_t sourceDuration, outDuration;
    };
    // 30 output frames = 30000 grid ticks; the source runs at 600 a second.
    for (auto c : std::vector<Case>{
             {610, 1.0, 600, 30'000},     // a third of a frame long: shortened, unscaled
             {590, 1.0, 590, 29'500},     // a third short: as long as the source
             {700, 1.0, 700, 30'000},     // five frames long: scaled
             {1200, 2.0, 1200, 30'000}}) { // any other speed: scaled
        auto t = timeline(30);
        t.segments = {clip("a", 0, 30, 0, c.srcEnd, c.speed)};
        auto comp = CompositionLayout::build(t, facts({"a"}), std::nullopt);
        const auto& e = comp.track(1)->edits.at(0);
        EXPECT_EQ(e.sourceDuration, c.sourceDuration) << c.srcEnd;
        EXPECT_EQ(e.outDuration, c.outDuration) << c.srcEnd;
    }
    // A source shorter than asked is cut at its end and stretched over the frames.
    auto t = timeline(30);
    t.segments = {clip("a", 0, 30, 0, 900, 1.5)};
    auto comp = CompositionLayout::build(t, facts({"a"}, 300), std::nullopt);
    const auto& e = comp.track(1)->edits.at(0);
    EXPECT_EQ(e.sourceDuration, 300);
    EXPECT_EQ(e.outDuration, 30'000);
    EXPECT_EQ(comp.sourceTime(1, 15'000)->ticks, 150);
    EXPECT_EQ(comp.sourceTime(1, 29'999)->ticks, 299);
    EXPECT_FALSE(comp.sourceTime(1, 30'000));
}

TEST(Composition, BackgroundVideoLoopsFromItsFirstFrame) {
    auto t = timeline(90);
    t.segments = {clip("a", 0, 90)};
    t.backgroundFrames = FrameRange{0, 90};
    auto f = facts({"a", "bg"});
    f.videos["bg"] = {600, 60, 660}; // one second, starting at 0.1 s
    f.backgroundFillAsset = "bg";
    auto c = CompositionLayout::build(t, f, FrameRange{40, 50});
    ASSERT_TRUE(c.layers.backgroundFill);
    const auto& edits = c.track(*c.layers.backgroundFill)->edits;
    ASSERT_EQ(edits.size(), 3u);
    EXPECT_EQ(edits[0].sourceStart, 60);
    EXPECT_EQ(edits[1].outStart, 30'000);
    EXPECT_EQ(edits[2].outDuration, 30'000);
    EXPECT_EQ(c.sourceTime(*c.layers.backgroundFill, 31'000)->ticks, 80);
}

TEST(Composition, MissingVideoNamesTheAsset) {
    auto t = timeline(30);
    t.segments = {clip("gone", 0, 30)};
    try {
        CompositionLayout::build(t, facts({}), std::nullopt);
        ADD_FAILURE() << "built without its video";
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f, EngineFailure::invalidParams("The render needs a source for asset gone."));
    }
}

TEST(Composition, DrawsTheSourceFrameTheTimelineNames) {
    struct Case {
        const char* what;
        PTSTable table;
        int64_t srcStartUs, outEndUs;
        double speed;
    };
    for (const auto& c : std::vector<Case>{{"29.97 on 30", fixtures::table(30000, 1001, 90), 0, 3000000, 1.0},
                                           {"speed 2", fixtures::table(30000, 1000, 90), 0, 1000000, 2.0},
                                           {"speed 1.5 to the end", fixtures::table(30000, 1000, 45), 0, 1000000, 1.5},
                                           {"from the middle", fixtures::table(12800, 512, 100), 1500000, 2000000, 1.0},
                                           {"slowed", fixtures::table(24000, 1001, 30), 0, 2000000, 0.5}}) {
        RenderPlan p = fixtures::plan(c.outEndUs);
        p.segments = {fixtures::segment("a", c.srcStartUs, 0, c.outEndUs, c.speed)};
        ResolvedTimeline t(p, {{"a", c.table}}, {});
        CompositionFacts f;
        f.videos["a"] = {c.table.timescale, c.table.pts.front(), c.table.endTicks};
        Composition comp = CompositionLayout::build(t, f, std::nullopt);
        int32_t track = comp.layers.clips.at(0);
        for (int64_t frame = 0; frame < t.frameCount; ++frame) {
            auto time = comp.sourceTime(track, frame * comp.grid.ticksPerFrame);
            auto ref = t.sourceFrame(frame);
            ASSERT_EQ(time.has_value(), ref.has_value()) << c.what << " frame " << frame;
            if (!time) continue;
            EXPECT_EQ(c.table.pts.at(static_cast<size_t>(c.table.indexOnScreen(time->ticks))), ref->ptsTicks)
                << c.what << " frame " << frame;
        }
    }
}
