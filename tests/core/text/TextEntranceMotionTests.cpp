// Easing, poses and fades of text entrances, and binding an item to its entrance.

#include "Core/Plan/TextItem.hpp"

#include <cmath>
#include <gtest/gtest.h>

using namespace korvel;

namespace {

TextEntrance entrance(TextEntranceStart from, CubicBezier easing = {0, 0, 1, 1}) {
    TextEntrance e;
    e.durationUs = 400000;
    e.easing = easing;
    e.from = from;
    e.fade = {200000, {0, 0, 1, 1}};
    return e;
}

// The curve's y at x, re-derived by dense sampling of the parameter.
double sampledY(const CubicBezier& c, double x) {
    double bestT = 0, bestErr = 1e9;
    for (int i = 0; i <= 200000; ++i) {
        const double t = i / 200000.0, u = 1 - t;
        const double cx = 3 * u * u * t * c.x1 + 3 * u * t * t * c.x2 + t * t * t;
        if (std::fabs(cx - x) < bestErr) bestErr = std::fabs(cx - x), bestT = t;
    }
    const double u = 1 - bestT;
    return 3 * u * u * bestT * c.y1 + 3 * u * bestT * bestT * c.y2 + bestT * bestT * bestT;
}

} // namespace

TEST(CubicBezier, IdentityAndEnds) {
    const CubicBezier identity{0, 0, 1, 1};
    EXPECT_NEAR(identity.value(0.3), 0.3, 1e-7);
    for (const CubicBezier& c : {identity, CubicBezier{0.34, 1.56, 0.64, 1}, CubicBezier{0.9, 0, 0.1, 1}}) {
        EXPECT_EQ(c.value(-0.5), 0);
        EXPECT_EQ(c.value(0), 0);
        EXPECT_EQ(c.value(1), 1);
        EXPECT_EQ(c.value(1.5), 1);
    }
}

TEST(CubicBezier, SolvesTheCurveForItsX) {
    // An ease, an overshooting back curve, and one whose slope flattens (bisection).
    for (const CubicBezier& c : {CubicBezier{0.25, 0.1, 0.25, 1}, CubicBezier{0.34, 1.56, 0.64, 1},
                                 CubicBezier{1, 0, 0, 1}}) {
        for (double x : {0.1, 0.37, 0.5, 0.83}) EXPECT_NEAR(c.value(x), sampledY(c, x), 1e-4) << x;
    }
    EXPECT_GT((CubicBezier{0.34, 1.56, 0.64, 1}).value(0.6), 1.0); // overshoots
}

TEST(TextEntrance, PoseAlongTheCurve) {
    const auto e = entrance({0, 0.5, 0.8, 4});
    // Linear easing: halfway through the run's duration e = 0.5.
    const TextPose half = e.pose(200000);
    EXPECT_NEAR(half.opacity, 0.5, 1e-6);
    EXPECT_NEAR(half.shiftYShare, 0.25, 1e-6);
    EXPECT_NEAR(half.scale, 0.9, 1e-6);
    EXPECT_NEAR(half.blurPct, 2, 1e-6);
    // Not begun: the start pose; done: at rest.
    EXPECT_EQ(e.pose(-100000), (TextPose{0, 0.5, 0.8, 4}));
    EXPECT_TRUE(e.pose(400000).isAtRest());
    EXPECT_TRUE(e.pose(INT64_MAX).isAtRest());
    EXPECT_EQ(e.pose(INT64_MIN), (TextPose{0, 0.5, 0.8, 4}));
}

TEST(TextEntrance, OvershootMovesShiftAndScaleButNotOpacity) {
    const auto e = entrance({0.2, 1, 0.5, 3}, {0.34, 1.56, 0.64, 1});
    const TextPose p = e.pose(240000);
    const double y = CubicBezier{0.34, 1.56, 0.64, 1}.value(0.6);
    ASSERT_GT(y, 1);
    EXPECT_EQ(p.opacity, 1); // clamped
    EXPECT_NEAR(p.shiftYShare, (1 - y) * 1, 1e-12);
    EXPECT_NEAR(p.scale, (1 - y) * (0.5 - 1) + 1, 1e-12);
    EXPECT_EQ(p.blurPct, 0); // never below 0
}

TEST(TextEntrance, ZeroDurationIsAtRestFromTheStart) {
    auto e = entrance({0, 1, 2, 3});
    e.durationUs = 0;
    EXPECT_TRUE(e.pose(0).isAtRest());
    EXPECT_FALSE(e.pose(-1).isAtRest());
}

TEST(TextEntrance, FadeOpacity) {
    const auto e = entrance({0, 0, 1, 0});
    EXPECT_EQ(e.fadeOpacity(-5), 0);
    EXPECT_NEAR(e.fadeOpacity(50000), 0.25, 1e-6);
    EXPECT_EQ(e.fadeOpacity(200000), 1);
    EXPECT_EQ(e.fadeOpacity(INT64_MAX), 1);
}

TEST(TextItem, BindsToItsEntrance) {
    TextItem item;
    item.id = "c";
    item.lines = {TextLine{{TextRun{"a", 0, 1, false, std::nullopt}, TextRun{"b", 0, 1, false, std::nullopt}},
                           std::nullopt}};
    const std::map<std::string, TextEntrance> table{{"pop", entrance({0, 0, 1, 0})}};
    EXPECT_EQ(item.entranceIn(table), std::nullopt);

    const auto failure = [&](const TextItem& i) -> std::string {
        try {
            (void)i.entranceIn(table);
        } catch (const TextEntranceFailure& f) {
            return f.text();
        }
        return "none";
    };
    TextItem timed = item;
    timed.lines[0].runs[1].enterUs = 5;
    EXPECT_EQ(failure(timed), "runWithTimeButNoEntrance");
    TextItem named = timed;
    named.entrance = "pop";
    EXPECT_EQ(failure(named), "runWithoutTime");
    named.lines[0].runs[0].enterUs = 0;
    EXPECT_EQ(named.entranceIn(table), table.at("pop"));
    named.entrance = "swoosh";
    EXPECT_EQ(failure(named), "unknownEntrance(\"swoosh\")");
}
