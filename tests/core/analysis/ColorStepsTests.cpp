#include "Core/Analysis/ColorSteps.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace korvel;

TEST(ColorStepDetector, MedianShifts) {
    std::vector<uint8_t> a(96 * 3);
    for (size_t i = 0; i < a.size(); ++i) a[i] = uint8_t(i % 200);
    auto brighter = a;
    for (auto& v : brighter) v = uint8_t(v + 51);
    EXPECT_EQ(ColorStepDetector::medianShift(a, a), 0);
    EXPECT_DOUBLE_EQ(ColorStepDetector::medianShift(a, brighter), 0.2);
    auto topThird = a;
    for (size_t i = 0; i < topThird.size() / 3; ++i) topThird[i] = uint8_t(topThird[i] + 51);
    EXPECT_EQ(ColorStepDetector::medianShift(a, topThird), 0);
    const std::vector<uint8_t> one{10, 20, 30}, other{10, 71, 30}, two{1, 2}, twoMore{200, 200};
    EXPECT_DOUBLE_EQ(ColorStepDetector::medianShift(one, other), 0.2);
    EXPECT_EQ(ColorStepDetector::medianShift(two, twoMore), 0);
    EXPECT_EQ(ColorStepDetector::medianShift(one, a), 0);
}

TEST(ColorStepDetector, StepsKeepTheirDistance) {
    struct Case {
        std::vector<double> shifts;
        std::vector<int64_t> times;
        int64_t duration;
        std::vector<int64_t> steps;
    } cases[] = {
        {{0, 0.012}, {0, 250'000}, 1'000'000, {250'000}},
        {{0, 0.0119}, {0, 250'000}, 1'000'000, {}},
        {{0, 0.5}, {0, 249'999}, 1'000'000, {}},
        {{0, 0.5}, {0, 750'000}, 1'000'000, {750'000}},
        {{0, 0.5}, {0, 750'001}, 1'000'000, {}},
        {{0, 0.5, 0.5}, {0, 300'000, 500'000}, 2'000'000, {300'000}},
        {{0, 0.5, 0.5, 0.5}, {0, 300'000, 500'000, 550'000}, 2'000'000, {300'000, 550'000}},
        {{0.9}, {0}, 1'000'000, {}},
        // Only the shorter list counts.
        {{0, 0.5, 0.5}, {0, 300'000}, 2'000'000, {300'000}},
    };
    for (const auto& c : cases) EXPECT_EQ(ColorStepDetector::steps(c.shifts, c.times, c.duration), c.steps);
}

TEST(ColorStepDetector, TakesCutScenesAtTheirSteps) {
    const std::vector<SceneSpan> scene{{0, 2'000'000, 0.7}};
    EXPECT_EQ(ColorStepDetector::takes(scene, std::vector<int64_t>{1'000'000}),
              (std::vector<SceneSpan>{{0, 1'000'000, 0.7}, {1'000'000, 2'000'000, 1.0}}));
    EXPECT_EQ(ColorStepDetector::takes(scene, std::vector<int64_t>{1'900'000}), scene);
    const std::vector<SceneSpan> two{{0, 2'000'000, 1}, {2'000'000, 5'000'000, 0.6}};
    EXPECT_EQ(ColorStepDetector::takes(two, std::vector<int64_t>{3'000'000}),
              (std::vector<SceneSpan>{{0, 2'000'000, 1}, {2'000'000, 3'000'000, 0.6}, {3'000'000, 5'000'000, 1.0}}));
    EXPECT_TRUE(ColorStepDetector::takes({}, std::vector<int64_t>{1}).empty());
}

TEST(ColorTakeSummary, MediansOfNamesSeenInMostFrames) {
    std::map<std::string, std::vector<double>> values{{"a", {3, 1, 2}}, {"b", {4, 1, 3, 2}}, {"c", {}}};
    EXPECT_EQ(ColorTakeSummary::medians(values, 6), (std::map<std::string, double>{{"b", 3}}));
    EXPECT_EQ(ColorTakeSummary::medians(values, 4), (std::map<std::string, double>{{"a", 2}, {"b", 3}}));
}
