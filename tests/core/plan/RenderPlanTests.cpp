#include "Core/Plan/RenderPlan.hpp"
#include "Core/Wire/SegmentMethodTypes.hpp"
#include "tests/core/plan/PlanFixture.hpp"

#include <gtest/gtest.h>

#include <optional>

using namespace korvel;
using namespace korvel::fixture;

namespace {

JSONValue segmentParams(JSONValue plan) {
    return JSONValue(JSONValue::Object{
        {"plan", std::move(plan)},
        {"key", "0f3a"},
        {"variant", "after"},
        {"track", "video"},
        {"outStartUs", 0},
        {"outEndUs", 2000000},
        {"outPath", "/tmp/out/seg.m4s"},
    });
}

// The message of the contract failure, or "" when the value reads.
template <class T> std::string failureOf(const JSONValue& params) {
    try {
        (void)decoded<T>(params);
    } catch (const EngineFailure& failure) {
        EXPECT_EQ(failure.code, -32602);
        return failure.message;
    }
    return "";
}

RenderPlan readPlan() { return decoded<RenderPlan>(fullPlan()); }

} // namespace

TEST(RenderPlan, FullPlanReadsEveryPart) {
    RenderPlan plan = readPlan();
    EXPECT_EQ(plan.version, 7);
    EXPECT_EQ(plan.canvas, (Canvas{VideoFormat::vertical, 1080, 1920, {30000, 1001}}));
    ASSERT_EQ(plan.segments.size(), 2u);
    EXPECT_EQ(plan.segments[1].speed, 1.5);
    EXPECT_EQ(plan.segments[0].transform.keyframes.size(), 3u);
    EXPECT_FALSE(plan.segments[0].transitionIn);
    EXPECT_EQ(plan.segments[1].transitionIn, (TransitionIn{TransitionStyle::smooth, 400000}));
    ASSERT_EQ(plan.videoOverlays.size(), 2u);
    EXPECT_EQ(plan.videoOverlays[0].matteKey, "m-screen");
    EXPECT_EQ(plan.videoOverlays[0].window, (NormalizedRect{0.1, 0, 0.8, 1}));
    EXPECT_FALSE(plan.videoOverlays[1].window);
    EXPECT_FALSE(plan.videoOverlays[1].cornerRadiusPct);
    ASSERT_EQ(plan.textItems.size(), 3u);
    EXPECT_EQ(plan.textItems[0].lines[0].runs[1], (TextRun{"changes", 300000, 800000, true, 300000}));
    EXPECT_EQ(plan.textItems[1].lines[2].role, TitleLineRole::smallCaps);
    EXPECT_EQ(plan.textItems[2].role, TextRole::callToAction);
    EXPECT_EQ(plan.textItems[2].style.font, FontFamily::bebasNeue);
    EXPECT_FALSE(plan.textItems[1].style.shadow);
    ASSERT_EQ(plan.colorStack.size(), 4u);
    EXPECT_EQ(plan.colorStack[0].correct()->adjustments.at("contrast"), 1.1);
    EXPECT_EQ(plan.colorStack[1].match()->gains, (RgbGains{1.02, 1, 0.97}));
    EXPECT_EQ(plan.colorStack[3], (ColorStep{ColorStep::Grain{0.3, 42}, std::nullopt, 6000000}));
    ASSERT_TRUE(plan.background);
    EXPECT_EQ(plan.background->fill.blur()->radiusPct, 3.5);
    EXPECT_EQ(plan.audioMix.targetLufs, Nullable<double>(-14.0));
    EXPECT_EQ(*plan.audioMix.tracks[1].generated, (GeneratedAudio{"lofi_bed", 1234}));
    EXPECT_EQ(plan.audioMix.tracks[1].gain[0].outUs, 9000000) << "gain points stay in plan order";
    EXPECT_EQ(plan.audioMix.tracks[2].role, AudioRole::soundEffect);
    EXPECT_EQ(plan.timeMap.entries.size(), 2u);
    ASSERT_TRUE(plan.textEntrances);
    EXPECT_EQ(plan.textEntrances->at("pop").fade.durationUs, 150000);
    EXPECT_EQ(plan.assetContent->size(), 2u);
}

TEST(RenderPlan, WritingGivesTheDocumentBack) {
    JSONValue written = encoding(readPlan());
    EXPECT_EQ(written, fullPlan());
    EXPECT_EQ(decoded<RenderPlan>(written), readPlan());
}

TEST(RenderPlan, RoundTripsThroughProtocolText) {
    RenderPlan plan = readPlan();
    JSONValue params = encoding(SegmentParams{.plan = plan,
                                              .sources = std::map<std::string, EngineSource>{{"interview", {"/m/i.mov", "ab"}}},
                                              .mattes = std::nullopt,
                                              .key = "k",
                                              .variant = RenderVariant::before,
                                              .track = SegmentTrack::audio,
                                              .outStartUs = 0,
                                              .outEndUs = 1,
                                              .outPath = "/o"});
    auto again = decoded<SegmentParams>(JSONValue::parsing(params.canonical()));
    EXPECT_EQ(again.plan, plan);
    EXPECT_EQ(again.track, SegmentTrack::audio);
    EXPECT_FALSE(again.mattes);
}

TEST(RenderPlan, OptionalMapsAndUnknownKeysAreLeftOut) {
    JSONValue json = fullPlan();
    set(json, "textEntrances", nullptr);
    remove(json, "assetContent");
    set(json, "editorState", JSONValue(JSONValue::Object{{"zoom", 3}}));
    set(json, "segments.0.note", "keep");
    RenderPlan plan = decoded<RenderPlan>(json);
    EXPECT_FALSE(plan.textEntrances);
    EXPECT_FALSE(plan.assetContent);
    const JSONValue writtenPlan = encoding(plan);
    const auto& written = *writtenPlan.objectPtr();
    EXPECT_FALSE(written.contains("textEntrances"));
    EXPECT_FALSE(written.contains("assetContent"));
    EXPECT_FALSE(written.contains("editorState"));
    EXPECT_FALSE(written.at("segments").arrayPtr()->at(0).objectPtr()->contains("note"));
}

TEST(RenderPlan, NullBackgroundIsWrittenAsNull) {
    JSONValue json = fullPlan();
    set(json, "background", nullptr);
    RenderPlan plan = decoded<RenderPlan>(json);
    EXPECT_FALSE(plan.background);
    EXPECT_EQ(*encoding(plan).member("background"), JSONValue());
}

TEST(RenderPlan, ReadingFailuresNameTheFirstBadPlace) {
    struct Case {
        const char* path;               // below the params
        std::optional<JSONValue> value; // nothing: remove the key
        const char* reason;
    };
    const Case cases[] = {
        {"plan.canvas", std::nullopt, "missing plan.canvas"},
        {"plan.background", std::nullopt, "missing plan.background"},
        {"plan.version", 1.5, "plan.version: The number 1.5 is not a 64-bit integer."},
        {"plan.canvas.format", "Vertical", "plan.canvas.format: Unknown VideoFormat value \"Vertical\"."},
        {"plan.canvas.fps.den", std::nullopt, "missing plan.canvas.fps.den"},
        {"plan.canvas.width", "1080", "plan.canvas.width: Expected an integer but found a string instead."},
        {"plan.segments", nullptr, "plan.segments: Expected an array but found null instead."},
        {"plan.segments.1.assetId", std::nullopt, "missing plan.segments.Index 1.assetId"},
        {"plan.segments.0.transitionIn", std::nullopt, "missing plan.segments.Index 0.transitionIn"},
        {"plan.segments.1.transitionIn.style", "wipe",
         "plan.segments.Index 1.transitionIn.style: Unknown TransitionStyle value \"wipe\"."},
        {"plan.segments.0.transform.keyframes.2.center.y", "0.4",
         "plan.segments.Index 0.transform.keyframes.Index 2.center.y: Expected a number but found a string instead."},
        {"plan.videoOverlays.1.role", "Logo", "plan.videoOverlays.Index 1.role: Unknown VideoOverlayRole value \"Logo\"."},
        {"plan.videoOverlays.0.window.h", std::nullopt, "missing plan.videoOverlays.Index 0.window.h"},
        {"plan.textItems.0.activeWordHighlight", std::nullopt, "missing plan.textItems.Index 0.activeWordHighlight"},
        {"plan.textItems.0.activeWordHighlight", nullptr,
         "plan.textItems.Index 0.activeWordHighlight: Expected a boolean but found null instead."},
        {"plan.textItems.0.activeWordHighlight", 1,
         "plan.textItems.Index 0.activeWordHighlight: Expected a boolean but found a number instead."},
        {"plan.textItems.2.role", "callToAction", "plan.textItems.Index 2.role: Unknown TextRole value \"callToAction\"."},
        {"plan.textItems.1.lines.1.role", "Medium",
         "plan.textItems.Index 1.lines.Index 1.role: Unknown TitleLineRole value \"Medium\"."},
        {"plan.textItems.0.lines.0.runs.2.keyword", std::nullopt,
         "missing plan.textItems.Index 0.lines.Index 0.runs.Index 2.keyword"},
        {"plan.textItems.1.style.shadow", std::nullopt, "missing plan.textItems.Index 1.style.shadow"},
        {"plan.textItems.0.style.font", "dmSerifDisplay",
         "plan.textItems.Index 0.style.font: Unknown FontFamily value \"dmSerifDisplay\"."},
        {"plan.textItems.0.style.weight", 700.5,
         "plan.textItems.Index 0.style.weight: The number 700.5 is not a 64-bit integer."},
        {"plan.textItems.0.highlight.color", std::nullopt, "missing plan.textItems.Index 0.highlight.color"},
        {"plan.colorStack.2.kind", "Look", "plan.colorStack.Index 2.kind: Unknown color step Look"},
        {"plan.colorStack.1.gains", std::nullopt, "missing plan.colorStack.Index 1.gains"},
        {"plan.colorStack.0.adjustments.contrast", "high",
         "plan.colorStack.Index 0.adjustments.contrast: Expected a number but found a string instead."},
        {"plan.background.fill.type", "Blur", "plan.background.fill.type: Unknown fill Blur"},
        {"plan.background.fill.radiusPct", std::nullopt, "missing plan.background.fill.radiusPct"},
        {"plan.background.matteKey", std::nullopt, "missing plan.background.matteKey"},
        {"plan.audioMix.targetLufs", std::nullopt, "missing plan.audioMix.targetLufs"},
        {"plan.audioMix.tracks.0.isolation", std::nullopt, "missing plan.audioMix.tracks.Index 0.isolation"},
        {"plan.audioMix.tracks.2.role", "soundEffect",
         "plan.audioMix.tracks.Index 2.role: Unknown AudioRole value \"soundEffect\"."},
        {"plan.audioMix.tracks.1.generated.seed", 12.5,
         "plan.audioMix.tracks.Index 1.generated.seed: The number 12.5 is not a 64-bit integer."},
        {"plan.timeMap.entries.1.speed", std::nullopt, "missing plan.timeMap.entries.Index 1.speed"},
        {"plan.textEntrances.pop.fade", std::nullopt, "missing plan.textEntrances.pop.fade"},
        {"plan.textEntrances.pop.easing.x2", true,
         "plan.textEntrances.pop.easing.x2: Expected a number but found a boolean instead."},
        {"plan.assetContent.interview", 5, "plan.assetContent.interview: Expected a string but found a number instead."},
    };
    for (const auto& c : cases) {
        JSONValue params = segmentParams(fullPlan());
        if (c.value) {
            set(params, c.path, *c.value);
        } else {
            remove(params, c.path);
        }
        EXPECT_EQ(failureOf<SegmentParams>(params), std::string("Params do not match the contract: ") + c.reason)
            << c.path;
    }
}

TEST(RenderPlan, FirstFailureInFieldOrderWins) {
    JSONValue params = segmentParams(fullPlan());
    remove(params, "plan.canvas");
    remove(params, "plan.segments");
    EXPECT_EQ(failureOf<SegmentParams>(params), "Params do not match the contract: missing plan.canvas");

    // Bounds are read before the kind.
    params = segmentParams(fullPlan());
    remove(params, "plan.colorStack.3.kind");
    set(params, "plan.colorStack.3.outStartUs", "soon");
    EXPECT_EQ(failureOf<SegmentParams>(params),
              "Params do not match the contract: plan.colorStack.Index 3.outStartUs: Expected an integer but found a "
              "string instead.");
}

// Rates, speeds and size bounds that later steps divide by or loop over are
// refused with the contract error instead of reaching them.
TEST(RenderPlan, RefusesRatesAndSpeedsThatCannotBeRendered) {
    struct Case {
        const char* path;
        JSONValue value;
        const char* reason;
    };
    const Case cases[] = {
        {"plan.canvas.fps.num", 0, "plan.canvas.fps.num: Expected an integer of at least 1 but found 0."},
        {"plan.canvas.fps.den", -1001, "plan.canvas.fps.den: Expected an integer of at least 1 but found -1001."},
        {"plan.segments.1.speed", 0, "plan.segments.Index 1.speed: Expected a positive finite number but found 0."},
        {"plan.segments.0.speed", -2.5, "plan.segments.Index 0.speed: Expected a positive finite number but found -2.5."},
        {"plan.canvas.fps.num", 1000000,
         "plan.canvas.fps: Expected a frame rate of 1 to 240 frames per second but found 1000000/1001."},
        {"plan.canvas.fps.num", INT64_MAX,
         "plan.canvas.fps: Expected a frame rate of 1 to 240 frames per second but found 9223372036854775807/1001."},
        {"plan.canvas.fps.num", 1000,
         "plan.canvas.fps: Expected a frame rate of 1 to 240 frames per second but found 1000/1001."},
        {"plan.canvas.fps.den", 240001,
         "plan.canvas.fps: Expected a frame rate of 1 to 240 frames per second but found 30000/240001."},
        {"plan.audioMix.tracks.0.speed", 0,
         "plan.audioMix.tracks.Index 0.speed: Expected a positive finite number but found 0."},
        {"plan.audioMix.tracks.1.speed", -1,
         "plan.audioMix.tracks.Index 1.speed: Expected a positive finite number but found -1."},
    };
    for (const auto& c : cases) {
        JSONValue params = segmentParams(fullPlan());
        set(params, c.path, c.value);
        EXPECT_EQ(failureOf<SegmentParams>(params), std::string("Params do not match the contract: ") + c.reason)
            << c.path;
    }
    JSONValue slow = fullPlan();
    set(slow, "segments.0.speed", 0.01);
    EXPECT_EQ(decoded<RenderPlan>(slow).segments[0].speed, 0.01);
    // Both ends of the rate range read.
    for (auto [num, den] : {std::pair<int64_t, int64_t>{1, 1}, {240, 1}, {240000, 1000}, {24000, 1001}}) {
        JSONValue edge = fullPlan();
        set(edge, "canvas.fps.num", num);
        set(edge, "canvas.fps.den", den);
        EXPECT_EQ(decoded<RenderPlan>(edge).canvas.fps, (FrameRate{num, den}));
    }
}

TEST(RenderPlan, BeforeVariantIsThePlainCut) {
    RenderPlan plan = readPlan();
    RenderPlan before = plan.resolved(RenderVariant::before);

    ASSERT_EQ(before.segments.size(), plan.segments.size());
    for (std::size_t i = 0; i < plan.segments.size(); ++i) {
        const auto& s = plan.segments[i];
        const auto& b = before.segments[i];
        EXPECT_EQ(b.assetId, s.assetId);
        EXPECT_EQ(b.srcStartUs, s.srcStartUs);
        EXPECT_EQ(b.srcEndUs, s.srcEndUs);
        EXPECT_EQ(b.outStartUs, s.outStartUs);
        EXPECT_EQ(b.outEndUs, s.outEndUs);
        EXPECT_EQ(b.speed, s.speed);
        EXPECT_EQ(b.transform.keyframes, (std::vector<TransformKeyframe>{{s.outStartUs, {0.5, 0.5}, 1.0}}));
        EXPECT_FALSE(b.transitionIn);
    }
    EXPECT_TRUE(before.videoOverlays.empty());
    EXPECT_TRUE(before.textItems.empty());
    EXPECT_TRUE(before.colorStack.empty());
    EXPECT_FALSE(before.background);
    EXPECT_FALSE(before.textEntrances);
    EXPECT_EQ(before.version, plan.version);
    EXPECT_EQ(before.canvas, plan.canvas);
    EXPECT_EQ(before.audioMix, plan.audioMix);
    EXPECT_EQ(before.timeMap, plan.timeMap);
    EXPECT_EQ(before.durationUs, plan.durationUs);
    EXPECT_EQ(before.assetContent, plan.assetContent);

    EXPECT_EQ(before.resolved(RenderVariant::before), before);
    EXPECT_EQ(plan.resolved(RenderVariant::after), plan);
    EXPECT_NE(before, plan);

    JSONValue written = encoding(before);
    EXPECT_EQ(*written.member("background"), JSONValue());
    for (const auto& segment : *written.member("segments")->arrayPtr()) {
        EXPECT_EQ(*segment.member("transitionIn"), JSONValue());
    }
    EXPECT_EQ(written.member("textEntrances"), nullptr);
}

TEST(RenderPlan, BeforeVariantKeepsAbsentContentAbsent) {
    JSONValue json = fullPlan();
    remove(json, "assetContent");
    remove(json, "segments");
    set(json, "segments", JSONValue(JSONValue::Array{}));
    RenderPlan before = decoded<RenderPlan>(json).resolved(RenderVariant::before);
    EXPECT_FALSE(before.assetContent);
    EXPECT_TRUE(before.segments.empty());
}

TEST(RenderPlan, EveryFieldCountsInEquality) {
    const RenderPlan plan = readPlan();
    auto changed = [&](auto&& edit) {
        RenderPlan copy = plan;
        edit(copy);
        return copy;
    };
    EXPECT_NE(plan, changed([](RenderPlan& p) { p.version = 8; }));
    EXPECT_NE(plan, changed([](RenderPlan& p) { p.timeMap.entries[1].speed = 1.25; }));
    EXPECT_NE(plan, changed([](RenderPlan& p) { p.assetContent->erase("interview"); }));
    EXPECT_NE(plan, changed([](RenderPlan& p) { p.textItems[2].id = "cta-2"; }));
    EXPECT_NE(plan, changed([](RenderPlan& p) { std::swap(p.audioMix.tracks[0], p.audioMix.tracks[1]); }));
    EXPECT_EQ(plan, changed([](RenderPlan& p) { p.segments[0].transform.keyframes[0].scale = 1.0; }));
}

TEST(RenderPlan, AdjustmentMapsCompareWhateverTheirJSONOrder) {
    auto a = decoded<ColorStep>(JSONValue::parsing(R"({"kind":"correct","adjustments":{"a":1,"b":2}})"));
    auto b = decoded<ColorStep>(JSONValue::parsing(R"({"adjustments":{"b":2,"a":1.0},"kind":"correct"})"));
    EXPECT_EQ(a, b);
}
