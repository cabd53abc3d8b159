#include "Core/Engine.hpp"
#include "Core/Windows/SegmentWindowPart.hpp"
#include "tests/core/plan/PlanFixtures.hpp"

#include <gtest/gtest.h>

using namespace korvel;
using namespace korvel::fixtures;
namespace SW = korvel::SegmentWindows;

namespace {

const std::string engine = Engine::renderId(1);

// Outgoing segment 0 ..< 30 of "o", then "a" from frame 30 with a 10-frame
// transition, an overlay of "v" and a background with an asset fill "f".
struct Scene {
    RenderPlan plan = fixtures::plan(10000000);
    ResolvedTimeline timeline;
    SW::Sources sources{{"o", {"/o.mp4", "hash-o"}}, {"a", {"/a.mp4", "hash-a"}},
                        {"v", {"/v.mp4", "hash-v"}}, {"f", {"/f.png", "hash-f"}}};

    Scene() {
        timeline.grid = FrameGrid({30, 1});
        timeline.frameCount = 300;
        ResolvedSegment out;
        out.assetId = "o";
        out.firstFrame = 0;
        out.endFrame = 30;
        out.timescale = 30000;
        out.srcEndTicks = 30000;
        out.transform.keyframes = {keyframe(0, 0.5, 0.5, 1.0), keyframe(1500000, 0.3, 0.5, 2.0)};
        ResolvedSegment in;
        in.assetId = "a";
        in.firstFrame = 30;
        in.endFrame = 300;
        in.srcStartTicks = 90000;
        in.timescale = 30000;
        in.transform.keyframes = {keyframe(1000000, 0.5, 0.5, 1.0), keyframe(3000000, 0.7, 0.5, 2.0)};
        in.transition = ResolvedTransition{TransitionStyle::fast, 10, 0, 30000, 40000, 500};
        timeline.segments = {out, in};
    }

    SW::Part part(FrameRange frames, RenderVariant variant = RenderVariant::after, const SW::Mattes& mattes = {}) const {
        return SW::part(frames, timeline.segments[1], plan, timeline, sources, mattes, variant, engine);
    }
};

ResolvedOverlay overlayOver(int64_t first, int64_t end) {
    ResolvedOverlay o;
    o.assetId = "v";
    o.role = VideoOverlayRole::logo;
    o.firstFrame = first;
    o.endFrame = end;
    o.srcTicks = TickRange{0, 1000};
    o.timescale = 30000;
    o.rect = {0.1, 0.1, 0.2, 0.2};
    o.opacity = 0.8;
    o.matteKey = "m-v";
    return o;
}

} // namespace

TEST(SegmentWindowPart, TransitionWhileTheWindowStartsInsideIt) {
    Scene s;
    auto p = s.part({35, 90});
    ASSERT_TRUE(p.transition);
    EXPECT_EQ(p.transition->startedFramesAgo, 5);
    EXPECT_EQ(p.transition->frames, 10);
    EXPECT_EQ(p.transition->outgoing, "hash-o");
    EXPECT_EQ(p.transition->tailStartTicks, 30000);
    EXPECT_EQ(p.transition->tailEndTicks, 40000);
    // The outgoing framing as seen from the window: 1 166 667 .. 3 000 000 µs.
    ASSERT_EQ(p.transition->transform.size(), 3u);
    EXPECT_EQ(p.transition->transform[0].outUs, 0);
    EXPECT_NEAR(p.transition->transform[0].scale, 1.0 + 1166667.0 / 1500000.0, 1e-12);
    EXPECT_EQ(p.transition->transform[1], keyframe(333333, 0.3, 0.5, 2.0));
    EXPECT_EQ(p.transition->transform[2], keyframe(1833333, 0.3, 0.5, 2.0));
    EXPECT_FALSE(s.part({40, 90}).transition);
    EXPECT_EQ(p.srcStartTicks, 95000);
    EXPECT_EQ(p.frames, 55);
}

TEST(SegmentWindowPart, RelativeFramingOfTheSegment) {
    Scene s;
    auto p = s.part({60, 120});  // 2 000 000 ..< 4 000 000 µs
    std::vector<TransformKeyframe> expected{keyframe(0, 0.6, 0.5, 1.5), keyframe(1000000, 0.7, 0.5, 2.0),
                                            keyframe(2000000, 0.7, 0.5, 2.0)};
    EXPECT_EQ(p.transform, expected);
}

TEST(SegmentWindowPart, PlainCutRecordsNoTransitionOverlaysOrFraming) {
    Scene s;
    s.timeline.overlays = {overlayOver(30, 100)};
    auto p = s.part({30, 90}, RenderVariant::before);
    EXPECT_FALSE(p.transition);
    EXPECT_TRUE(p.overlays.empty());
    EXPECT_TRUE(p.transform.empty());
    EXPECT_EQ(p.variant, RenderVariant::before);
}

TEST(SegmentWindowPart, OverlayStartedBeforeTheWindow) {
    Scene s;
    s.timeline.overlays = {overlayOver(50, 150), overlayOver(150, 160), overlayOver(100, 130)};
    auto p = s.part({60, 120});
    ASSERT_EQ(p.overlays.size(), 2u);
    EXPECT_EQ(p.overlays[0].srcStartTicks, 100);
    EXPECT_EQ(p.overlays[0].framesFromWindowStart, 0);
    EXPECT_EQ(p.overlays[0].frames, 60);
    EXPECT_EQ(p.overlays[0].source, "hash-v");
    EXPECT_EQ(p.overlays[0].matteKey, "m-v");
    EXPECT_EQ(p.overlays[1].srcStartTicks, 0);
    EXPECT_EQ(p.overlays[1].framesFromWindowStart, 40);
    EXPECT_EQ(p.overlays[1].frames, 20);
    s.timeline.overlays[0].srcTicks.reset();
    EXPECT_EQ(s.part({60, 120}).overlays[0].srcStartTicks, std::nullopt);
}

TEST(SegmentWindowPart, TextIsRelativeAndNamelessAndKeepsOnlyRunningEntrances) {
    Scene s;
    TextEntrance pop;
    pop.durationUs = 300000;
    pop.fade.durationUs = 200000;
    s.plan.textEntrances = std::map<std::string, TextEntrance>{{"pop", pop}};
    TextItem title = caption("title", 1000000, 5000000);
    title.role = TextRole::title;
    title.entrance = "pop";
    title.lines[0].runs = {TextRun{"big", 1000000, 5000000, true, 500000},
                           TextRun{"news", 1400000, 5000000, false, 1400000}};
    s.plan.textItems = {title};

    // Still fading in at 1 100 000 µs: the entrance stays, the item's start is
    // not clamped, run entrances are clamped to one entrance before the window.
    auto arriving = s.part({33, 90});
    ASSERT_EQ(arriving.text.size(), 1u);
    const TextItem& a = arriving.text[0];
    EXPECT_EQ(a.id, "");
    EXPECT_EQ(a.entrance, "pop");
    EXPECT_EQ(a.outStartUs, -100000);
    EXPECT_EQ(a.lines[0].runs[0].outStartUs, 0);
    EXPECT_EQ(a.lines[0].runs[0].enterUs, -300000);
    EXPECT_EQ(a.lines[0].runs[1].enterUs, 300000);
    ASSERT_TRUE(arriving.entrances);
    EXPECT_EQ(arriving.entrances->at("pop"), pop);

    // Long arrived by 2 s: no entrance, no enterUs, times clamped into the window.
    s.timeline.segments[1].transition.reset();
    auto settled = s.part({60, 120});
    const TextItem& b = settled.text[0];
    EXPECT_EQ(b.entrance, std::nullopt);
    EXPECT_FALSE(settled.entrances);
    EXPECT_EQ(b.outStartUs, 0);
    EXPECT_EQ(b.outEndUs, 2000000);
    EXPECT_EQ(b.lines[0].runs[1].outStartUs, 0);
    EXPECT_EQ(b.lines[0].runs[1].enterUs, std::nullopt);

    // Outside the window: left out.
    EXPECT_TRUE(s.part({150, 210}).text.empty());
    // Ids never reach the record.
    s.plan.textItems[0].id = "other";
    EXPECT_EQ(s.part({60, 120}).canonicalText(), settled.canonicalText());
}

TEST(SegmentWindowPart, ColourStepsCoverTheWindow) {
    Scene s;
    s.plan.colorStack = {look(std::nullopt, std::nullopt), look(2500000, std::nullopt), look(std::nullopt, 1000000)};
    auto p = s.part({60, 120});
    ASSERT_EQ(p.color.size(), 2u);
    EXPECT_EQ(p.color[0].outStartUs, 0);
    EXPECT_EQ(p.color[0].outEndUs, 2000000);
    EXPECT_EQ(p.color[1].outStartUs, 500000);
    EXPECT_EQ(p.color[1].outEndUs, 2000000);
}

TEST(SegmentWindowPart, BackgroundOnlyWithTheSegmentsOwnMatte) {
    Scene s;
    s.plan.background = PlanBackground{BackgroundFill{BackgroundFill::Asset{"f"}}, "m", 3000000, 9000000};
    s.timeline.backgroundFrames = FrameRange{90, 270};
    auto p = s.part({60, 120});
    ASSERT_TRUE(p.background);
    EXPECT_EQ(p.background->fillSource, "hash-f");
    EXPECT_EQ(p.background->startFrame, 30);
    EXPECT_EQ(p.background->endFrame, 60);
    EXPECT_TRUE(s.part({60, 120}, RenderVariant::after, {{"m", {"a", "/m.mov", std::nullopt}}}).background);
    EXPECT_FALSE(s.part({60, 120}, RenderVariant::after, {{"m", {"z", "/m.mov", std::nullopt}}}).background);
    EXPECT_FALSE(s.part({270, 300}).background);
}

TEST(SegmentWindowPart, MissingSourcesInOrder) {
    Scene s;
    s.timeline.overlays = {overlayOver(30, 100)};
    s.plan.background = PlanBackground{BackgroundFill{BackgroundFill::Asset{"f"}}, "m", 0, 9000000};
    s.timeline.backgroundFrames = FrameRange{0, 270};
    SW::Sources all = s.sources;
    s.sources.clear();
    for (const char* id : {"o", "v", "f", "a"}) {
        try {
            s.part({30, 90});
            ADD_FAILURE() << "needs " << id;
        } catch (const TimelineError& e) {
            EXPECT_EQ(e, TimelineError::missingSource(id));
        }
        s.sources[id] = all[id];
    }
    EXPECT_NO_THROW(s.part({30, 90}));
}
