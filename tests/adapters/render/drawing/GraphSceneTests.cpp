#include "Adapters/Render/Drawing/GraphScene.hpp"
#include "Adapters/Render/PreviewService.hpp"
#include "Core/Picture/Kernels/Kernels.hpp"
#include "tests/adapters/render/PictureFixtures.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace korvel;
using namespace korvel::pictures;

namespace {
constexpr int W = 64, H = 36;

Segment stillSegment(const std::string& id, int64_t fromUs, int64_t toUs) { return fixtures::segment(id, 0, fromUs, toUs); }

void expectPixel(const RGBAImage& image, int x, int y, std::array<float, 4> rgba, float tolerance, const char* what) {
    const float* p = at(image, x, y);
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(p[c], rgba[static_cast<size_t>(c)], tolerance) << what << " channel " << c;
}
} // namespace

TEST(GraphScene, AFrameWithoutASegmentIsOpaqueBlack) {
    GraphScene scene(stillInputs(plan(W, H), {}), {});
    RGBAImage picture = scene.picture(3, range(3, std::nullopt), noFrames);
    ASSERT_EQ(picture.width, W);
    ASSERT_EQ(picture.height, H);
    expectPixel(picture, 10, 10, {0, 0, 0, 1}, 0, "black");
}

TEST(GraphScene, AStillFillingTheCanvasIsDrawnAsItIs) {
    RenderPlan p = plan(W, H);
    p.segments = {stillSegment("a", 0, 2000000)};
    RGBAImage still = ramp(W, H);
    GraphScene scene(stillInputs(p, {{"a", still}}), {});
    scene.preflight();
    RGBAImage picture = scene.picture(5, range(5, 0), noFrames);
    ASSERT_EQ(picture.pixels.size(), still.pixels.size());
    for (size_t i = 0; i < still.pixels.size(); ++i) ASSERT_NEAR(picture.pixels[i], still.pixels[i], 1e-6) << i;
}

TEST(GraphScene, TransitionsBlendTheTwoClips) {
    RenderPlan p = plan(W, H);
    Segment second = stillSegment("b", 1000000, 2000000);
    RenderPlan smooth = p, fast = p, flash = p;
    for (auto* plan : {&smooth, &fast, &flash}) {
        second.transitionIn = TransitionIn{plan == &smooth ? TransitionStyle::smooth
                                           : plan == &fast ? TransitionStyle::fast
                                                           : TransitionStyle::flash,
                                           100000};
        plan->segments = {stillSegment("a", 0, 1000000), second};
    }
    std::map<std::string, RGBAImage> stills{{"a", solid(W, H, 1, 0, 0)}, {"b", solid(W, H, 0, 0, 1)}};
    // Three frames of transition from frame 30: the second has progress 2 / 4.
    GraphScene dissolve(stillInputs(smooth, stills), {});
    ASSERT_EQ(dissolve.inputs().timeline.segments[1].transition->frames, 3);
    RGBAImage half = dissolve.picture(31, range(31, 1, true), noFrames);
    expectPixel(half, 20, 20, {0.5f, 0, 0.5f, 1}, 1e-6f, "dissolve halfway is the mean");
    RGBAImage first = dissolve.picture(30, range(30, 1, true), noFrames);
    expectPixel(first, 20, 20, {0.75f, 0, 0.25f, 1}, 1e-6f, "first frame at 1 / 4");
    RGBAImage notRunning = dissolve.picture(31, range(31, 1, false), noFrames);
    expectPixel(notRunning, 20, 20, {0, 0, 1, 1}, 0, "incoming alone");

    GraphScene push(stillInputs(fast, stills), {});
    RGBAImage pushed = push.picture(31, range(31, 1, true), noFrames);
    expectPixel(pushed, W / 2 - 2, 10, {1, 0, 0, 1}, 1e-6f, "outgoing on the left half");
    expectPixel(pushed, W / 2 + 1, 10, {0, 0, 1, 1}, 1e-6f, "incoming on the right half");

    GraphScene white(stillInputs(flash, stills), {});
    expectPixel(white.picture(30, range(30, 1, true), noFrames), 5, 5, {1, 1, 1, 1}, 1e-6f, "flash starts white");
    RGBAImage later = white.picture(31, range(31, 1, true), noFrames);
    expectPixel(later, 5, 5, {2 / 3.0f, 2 / 3.0f, 1, 1}, 1e-6f, "flash after one of three steps");
}

TEST(GraphScene, LayoutsAreGradedLogosAreNot) {
    RenderPlan p = plan(W, H);
    VideoOverlay layout = fixtures::overlay("grey", 0, 2000000, 0, 2000000);
    layout.role = VideoOverlayRole::layout;
    layout.rect = {0, 0, 0.5, 1};
    VideoOverlay logo = layout;
    logo.role = VideoOverlayRole::logo;
    logo.rect = {0.5, 0, 0.5, 1};
    p.videoOverlays = {logo, layout}; // the logo first in the list, still on top of the grading
    ColorStep look;
    look.kind = ColorStep::Look{"warm_cinema", 1};
    p.colorStack = {look};
    GraphScene scene(stillInputs(p, {{"grey", solid(8, 8, 0.2f, 0.2f, 0.2f)}}), {});
    scene.preflight();
    RGBAImage picture = scene.picture(0, range(0, std::nullopt, false, {0, 1}), noFrames);
    const float* graded = at(picture, 10, 10);
    EXPECT_GT(graded[0], graded[2] + 0.01f) << "the warm look reddens the layout";
    expectPixel(picture, W - 10, 10, {0.2f, 0.2f, 0.2f, 1}, 1e-5f, "the logo keeps its colour");
}

TEST(GraphScene, OverlayEdgeCasesDrawSensibly) {
    RenderPlan p = plan(W, H);
    VideoOverlay faded = fixtures::overlay("white", 0, 2000000, 0, 2000000);
    faded.rect = {0, 0, 1, 1};
    faded.opacity = 7; // held at 1
    VideoOverlay flat = faded;
    flat.rect = {0.2, 0.2, 0, 0.5}; // no area: draws nothing
    VideoOverlay round = faded;
    round.opacity = 0.5;
    round.cornerRadiusPct = 1000; // held at half the shorter side
    p.videoOverlays = {faded, flat, round};
    GraphScene scene(stillInputs(p, {{"white", solid(8, 8, 1, 1, 1)}}), {});
    expectPixel(scene.picture(0, range(0, std::nullopt, false, {0}), noFrames), 3, 3, {1, 1, 1, 1}, 1e-6f, "opacity held at 1");
    expectPixel(scene.picture(0, range(0, std::nullopt, false, {1}), noFrames), 20, 15, {0, 0, 0, 1}, 0, "no area");
    RGBAImage rounded = scene.picture(0, range(0, std::nullopt, false, {2}), noFrames);
    expectPixel(rounded, 0, 0, {0, 0, 0, 1}, 1e-6f, "corner cut away");
    expectPixel(rounded, W / 2, H / 2, {0.5f, 0.5f, 0.5f, 1}, 1e-6f, "half opacity inside");
}

TEST(GraphScene, MissingPicturesFailWithTheirSentences) {
    RenderPlan p = plan(W, H);
    p.segments = {stillSegment("a", 0, 2000000)};
    RenderInputs noStill = stillInputs(p, {{"a", solid(4, 4, 1, 1, 1)}});
    noStill.stills.clear();
    GraphScene photo(noStill, {});
    EXPECT_EQ(failureOf([&] { photo.picture(12, range(12, 0), noFrames); }),
              EngineFailure(-32603, "Frame 12 has no picture for its photo."));

    RenderPlan v = plan(W, H);
    v.segments = {fixtures::segment("v", 0, 0, 1000000)};
    RenderInputs video;
    video.plan = v;
    video.size = {W, H};
    video.timeline = ResolvedTimeline(v, {{"v", fixtures::table(30, 1, 60)}}, {});
    GraphScene clip(video, {});
    EXPECT_EQ(failureOf([&] { clip.picture(3, range(3, 0), noFrames); }),
              EngineFailure(-32603, "Frame 3 has no decoded source for its clip."));

    RenderPlan o = plan(W, H);
    o.videoOverlays = {fixtures::overlay("v", 0, 1000000, 0, 1000000)};
    RenderInputs overlay = video;
    overlay.plan = o;
    overlay.timeline = ResolvedTimeline(o, {{"v", fixtures::table(30, 1, 60)}}, {});
    GraphScene over(overlay, {});
    EXPECT_EQ(failureOf([&] { over.picture(4, range(4, std::nullopt, false, {0}), noFrames); }),
              EngineFailure(-32603, "Frame 4 has no decoded overlay."));
    over.recordFailure(std::make_exception_ptr(EngineFailure(-32603, "first")));
    over.recordFailure(std::make_exception_ptr(EngineFailure(-32603, "second")));
    EXPECT_EQ(failureOf([&] { std::rethrow_exception(over.firstFailure()); }).message, "first");
}

TEST(GraphScene, PreflightRaisesPlanFailuresInOrder) {
    auto stepLook = [](std::string name) {
        ColorStep s;
        s.kind = ColorStep::Look{std::move(name), 1};
        return s;
    };
    ColorStep badCorrection;
    badCorrection.kind = ColorStep::Correct{{{"whiteGainRed", 1.1}}};
    struct Case {
        std::vector<ColorStep> steps;
        std::optional<std::string> color;
        EngineFailure expected;
    };
    std::vector<Case> cases{
        {{stepLook("warm_cinema"), stepLook("sepia"), stepLook("noir")}, std::nullopt,
         {-32602, "The look sepia does not exist."}},
        {{badCorrection, stepLook("noir")}, std::nullopt, {-32602, "A white balance needs a gain for red, green and blue."}},
        {{stepLook("cool_film")}, "#12345", {-32602, "#12345 is not a color like #rrggbb."}},
        {{stepLook("cool_film")}, "#A0b0C0", {0, "no failure"}},
    };
    for (const auto& c : cases) {
        RenderPlan p = plan(W, H);
        p.colorStack = c.steps;
        if (c.color) p.background = PlanBackground{BackgroundFill{BackgroundFill::Solid{*c.color}}, "m", 0, 1000000};
        GraphScene scene(stillInputs(p, {}), {});
        EXPECT_EQ(failureOf([&] { scene.preflight(); }), c.expected);
    }
}

TEST(GraphScene, TextOutsideItsTimeAddsNothingAndAWindowKeepsOnlyItsText) {
    RenderPlan p = plan(W, H);
    p.textItems = {fixtures::caption("early", 0, 500000), fixtures::caption("late", 1500000, 2000000)};
    RenderInputs inputs = stillInputs(p, {});
    GraphScene windowed(inputs, {}, FrameRange{0, 30});
    ASSERT_EQ(windowed.textItems().size(), 1u);
    EXPECT_EQ(windowed.textItems()[0].id, "early");
    RGBAImage picture = windowed.picture(20, range(20, std::nullopt), noFrames);
    expectPixel(picture, 5, 5, {0, 0, 0, 1}, 0, "no text at 0.67 s");
}

TEST(GraphScene, TimeOfAFrameAndTimings) {
    RenderPlan p = plan(W, H);
    p.canvas.fps = {30000, 1001};
    GraphScene scene(stillInputs(p, {}), {});
    EXPECT_EQ(scene.atUs(1), 33367); // 33366.67 rounds up
    EXPECT_NEAR(scene.timings().frameMilliseconds, 1001.0 / 30, 1e-9);
    scene.noteFrame(40);
    scene.noteFrame(10);
    FrameTimings t = scene.timings();
    EXPECT_EQ(t.frames, 2);
    EXPECT_EQ(t.late, 1);
    EXPECT_DOUBLE_EQ(t.slowestMilliseconds, 40);
}

TEST(GraphScene, TextLiesOnTopOfTheGradedPicture) {
    RenderPlan p = plan(320, 180);
    TextItem hello = fixtures::caption("hello", 0, 1000000);
    hello.style.weight = 700;
    hello.style.sizePct = 20;
    hello.style.lineHeight = 1.2;
    p.textItems = {hello};
    ColorStep look;
    look.kind = ColorStep::Look{"cool_film", 1};
    p.colorStack = {look};
    GraphScene scene(stillInputs(p, {}), {});
    scene.preflight();
    EXPECT_EQ(scene.inputs().text->validated->count(), 1u);
    RGBAImage picture = scene.picture(3, range(3, std::nullopt), noFrames);
    float brightest = 0;
    for (size_t i = 0; i < picture.pixels.size(); i += 4) brightest = std::max(brightest, picture.pixels[i + 1]);
    EXPECT_GT(brightest, 0.9f) << "white text over the black frame";
    RGBAImage later = scene.picture(45, range(45, std::nullopt), noFrames);
    for (size_t i = 0; i < later.pixels.size(); i += 4) ASSERT_LT(later.pixels[i + 1], 0.05f) << "no text after its end";
}

TEST(GraphScene, PreflightResolvesEntrancesEveryTime) {
    RenderPlan p = plan(320, 180);
    TextItem item = fixtures::caption("late", 0, 1000000);
    item.entrance = "nope";
    p.textItems = {item};
    GraphScene scene(stillInputs(p, {}), {});
    EngineFailure failure = failureOf([&] { scene.preflight(); });
    EXPECT_EQ(failure.code, -32602);
    EXPECT_EQ(failure.message.rfind("Text item late can't enter: ", 0), 0u) << failure.message;
}

TEST(GraphScene, BackgroundReplacementBehindTheStoredMatte) {
    RenderPlan p = plan(W, H);
    p.segments = {stillSegment("a", 0, 2000000)};
    p.background = PlanBackground{BackgroundFill{BackgroundFill::Solid{"#00FF00"}}, "m", 0, 2000000};
    RenderInputs inputs = stillInputs(p, {{"a", solid(W, H, 1, 0, 0)}});
    inputs.matte = VideoSource{};
    inputs.matteAssetId = "a";
    LayerTracks tracks;
    tracks.masks[0] = 5;
    GraphScene scene(inputs, tracks);
    scene.preflight();
    // Left half of the mask is the subject; the right half shows the fill.
    RGBAImage mask = solid(W, H, 0, 0, 0);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W / 2; ++x) mask.row(y)[x * 4] = mask.row(y)[x * 4 + 1] = mask.row(y)[x * 4 + 2] = 1;
    auto maskFrame = std::make_shared<const RGBAImage>(mask);
    FrameSource source = [&](int32_t track) { return track == 5 ? maskFrame : nullptr; };
    RGBAImage picture = scene.picture(2, range(2, 0, false, {}, true), source);
    expectPixel(picture, 4, 10, {1, 0, 0, 1}, 1e-4f, "subject");
    expectPixel(picture, W - 4, 10, {0, 1, 0, 1}, 1e-4f, "fill");
    for (float v : picture.pixels) ASSERT_TRUE(std::isfinite(v));
    // Outside the background's frames the clip is drawn as it is, mask or not.
    expectPixel(scene.picture(2, range(2, 0, false, {}, false), noFrames), W - 4, 10, {1, 0, 0, 1}, 0, "no replacement");
    EXPECT_EQ(failureOf([&] { scene.picture(2, range(2, 0, false, {}, true), noFrames); }),
              EngineFailure(-32603, "Frame 2 has no decoded mask."));
}

TEST(GraphScene, AMattedOverlayWithoutItsMaskFails) {
    RenderPlan p = plan(W, H);
    VideoOverlay layout = fixtures::overlay("pic", 0, 2000000, 0, 2000000);
    layout.matteKey = "k";
    p.videoOverlays = {layout};
    GraphScene scene(stillInputs(p, {{"pic", solid(8, 8, 1, 1, 1)}}), {});
    EXPECT_EQ(failureOf([&] { scene.picture(7, range(7, std::nullopt, false, {0}), noFrames); }),
              EngineFailure(-32603, "Frame 7 has no decoded mask for its layout."));
}

TEST(GraphScene, MasksOfAnotherAspectAreStretchedToTheirPicture) {
    // A square mask over a 16:9 picture: its top quarter is the subject, so
    // the subject ends a quarter down the picture (row 9 of 36), not where
    // one scale for both axes (row 16) or a crop (row 2) would put it.
    RGBAImage mask = solid(128, 128, 0, 0, 0);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 128; ++x) mask.row(y)[x * 4] = mask.row(y)[x * 4 + 1] = mask.row(y)[x * 4 + 2] = 1;
    auto maskFrame = std::make_shared<const RGBAImage>(mask);

    RenderPlan clipPlan = plan(W, H);
    clipPlan.segments = {stillSegment("a", 0, 2000000)};
    clipPlan.background = PlanBackground{BackgroundFill{BackgroundFill::Solid{"#00FF00"}}, "m", 0, 2000000};
    RenderInputs clipInputs = stillInputs(clipPlan, {{"a", solid(W, H, 1, 0, 0)}});
    clipInputs.matte = VideoSource{};
    clipInputs.matteAssetId = "a";
    LayerTracks clipTracks;
    clipTracks.masks[0] = 5;
    GraphScene clipScene(clipInputs, clipTracks);

    RenderPlan overlayPlan = plan(W, H);
    VideoOverlay layout = fixtures::overlay("pic", 0, 2000000, 0, 2000000);
    layout.rect = {0, 0, 1, 1};
    layout.matteKey = "k";
    overlayPlan.videoOverlays = {layout};
    RenderInputs overlayInputs = stillInputs(overlayPlan, {{"pic", solid(W, H, 1, 0, 0)}});
    overlayInputs.overlayMattes.emplace("k", OverlayMatte{VideoSource{}, false});
    LayerTracks overlayTracks;
    overlayTracks.overlayMasks[0] = 5;
    GraphScene overlayScene(overlayInputs, overlayTracks);

    FrameSource source = [&](int32_t track) { return track == 5 ? maskFrame : nullptr; };
    struct Case {
        const char* what;
        RGBAImage picture;
        std::array<float, 4> outside;
    };
    for (const auto& c : std::vector<Case>{
             {"clip", clipScene.picture(2, range(2, 0, false, {}, true), source), {0, 1, 0, 1}},
             {"overlay", overlayScene.picture(2, range(2, std::nullopt, false, {0}), source), {0, 0, 0, 1}}}) {
        for (int y : {1, 5}) expectPixel(c.picture, W / 2, y, {1, 0, 0, 1}, 0.02f, c.what);
        for (int y : {13, 20, 34}) expectPixel(c.picture, W / 2, y, c.outside, 0.02f, c.what);
    }
}

TEST(GraphScene, AZoomedOutClipsBlurredBackdropLooksAsTheCanvasSizedBlurDoes) {
    // The backdrop's blur shrinks the picture itself where the scalar road
    // first covers the canvas with it; the matted clip on top is the same.
    struct Case {
        int width, height, clipWidth, clipHeight;
        double zoom;
        bool matte;
    };
    for (Case c : {Case{480, 270, 960, 540, 0.7, true}, Case{482, 271, 700, 525, 0.6, false},
                   Case{400, 225, 301, 169, 0.8, true}}) {
        RenderPlan p = plan(c.width, c.height);
        p.segments = {stillSegment("a", 0, 2000000)};
        p.segments[0].transform.keyframes = {TransformKeyframe{0, {0.5, 0.5}, c.zoom}};
        if (c.matte) p.background = PlanBackground{BackgroundFill{BackgroundFill::Blur{4}}, "m", 0, 2000000};
        RGBAImage clip = RGBAImage::blank(0, 0, c.clipWidth, c.clipHeight);
        for (int y = 0; y < c.clipHeight; ++y)
            for (int x = 0; x < c.clipWidth; ++x) {
                float* px = clip.row(y) + x * 4;
                px[0] = ((x / 11 + y / 7) % 2) ? 0.9f : 0.05f;
                px[1] = 0.5f + 0.5f * std::sin(x * 0.05f + y * 0.03f);
                px[2] = static_cast<float>(x + y) / (c.clipWidth + c.clipHeight);
                px[3] = 1;
            }
        RenderInputs inputs = stillInputs(p, {{"a", clip}});
        inputs.matte = VideoSource{};
        inputs.matteAssetId = "a";
        LayerTracks tracks;
        tracks.masks[0] = 5;
        GraphScene scene(inputs, tracks);
        scene.preflight();
        // A soft disc at a third of the clip's size.
        RGBAImage mask = solid(c.clipWidth / 3, c.clipHeight / 3, 0, 0, 0);
        for (int y = 0; y < mask.height; ++y)
            for (int x = 0; x < mask.width; ++x) {
                double d = std::hypot((x - mask.width / 2.0) / mask.width, (y - mask.height / 2.0) / mask.height);
                float v = static_cast<float>(std::clamp((0.35 - d) * 20, 0.0, 1.0));
                mask.row(y)[x * 4] = mask.row(y)[x * 4 + 1] = mask.row(y)[x * 4 + 2] = v;
            }
        auto maskFrame = std::make_shared<const RGBAImage>(mask);
        FrameSource source = [&](int32_t track) { return track == 5 ? maskFrame : nullptr; };

        Kernels::useReferences(true);
        RGBAImage reference = scene.picture(2, range(2, 0, false, {}, c.matte), source);
        Kernels::useReferences(false);
        RGBAImage fast = scene.picture(2, range(2, 0, false, {}, c.matte), source);
        ASSERT_EQ(fast.pixels.size(), reference.pixels.size());
        double squares = 0;
        for (size_t i = 0; i < fast.pixels.size(); ++i) {
            double d = std::clamp(fast.pixels[i], 0.0f, 1.0f) - std::clamp(reference.pixels[i], 0.0f, 1.0f);
            squares += d * d;
        }
        double psnr = 10 * std::log10(1 / std::max(squares / static_cast<double>(fast.pixels.size()), 1e-30));
        EXPECT_GE(psnr, 40) << c.width << "x" << c.height << " decibels";
        // The frame really shows a backdrop: its corner is neither black nor clear.
        const float* corner = at(fast, 1, 1);
        EXPECT_GT(corner[0] + corner[1] + corner[2], 0.05f);
        EXPECT_NEAR(corner[3], 1, 1e-4);
        // The clip itself, in the middle of the frame, is drawn as before.
        Picture a = gammaPicture(fast, {c.width, c.height}), b = gammaPicture(reference, {c.width, c.height});
        int worst = 0;
        for (int y = c.height * 2 / 5; y < c.height * 3 / 5; ++y)
            for (int x = c.width * 2 / 5; x < c.width * 3 / 5; ++x)
                for (int k = 0; k < 3; ++k) {
                    size_t i = (static_cast<size_t>(y) * c.width + x) * static_cast<size_t>(a.bands) + static_cast<size_t>(k);
                    worst = std::max(worst, std::abs(a.pixels[i] - b.pixels[i]));
                }
        EXPECT_LE(worst, 1) << c.width << "x" << c.height << " code values apart";
    }
}
