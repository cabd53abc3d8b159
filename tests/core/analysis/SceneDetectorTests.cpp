#include "Core/Analysis/SceneDetector.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace korvel;

namespace {
// Frames every 40 ms over the duration, all at one distance.
struct FrameRun {
    std::vector<double> distances;
    std::vector<int64_t> times;
    FrameRun(int64_t durationUs, double distance) {
        for (int64_t t = 0; t < durationUs; t += 40'000) {
            times.push_back(t);
            distances.push_back(distance);
        }
    }
    void set(int64_t t, double d) { distances[size_t(t / 40'000)] = d; }
};
} // namespace

TEST(SceneDetector, ShortAndEmptyVideos) {
    EXPECT_TRUE(SceneDetector::scenes(std::vector<double>{0, 1}, std::vector<int64_t>{0, 40}, 0).empty());
    EXPECT_TRUE(SceneDetector::scenes(std::vector<double>{0, 1}, std::vector<int64_t>{0, 40}, -5).empty());
    EXPECT_EQ(SceneDetector::scenes(std::vector<double>{0}, std::vector<int64_t>{0}, 1000),
              (std::vector<SceneSpan>{{0, 1000, 1}}));
}

TEST(SceneDetector, ThresholdFollowsTheSpread) {
    EXPECT_DOUBLE_EQ(SceneDetector::threshold(std::vector<double>{0.01, 0.01, 0.01}), 0.08);
    EXPECT_DOUBLE_EQ(SceneDetector::threshold(std::vector<double>{0.2, 0.2}), 0.2);
    // Median 0.1, deviations 0.05, 0, 0.05 (median 0.05): 0.1 + 0.6.
    EXPECT_DOUBLE_EQ(SceneDetector::threshold(std::vector<double>{0.05, 0.1, 0.15}), 0.7);
    FrameRun still(10'000'000, 0.01);
    EXPECT_EQ(SceneDetector::scenes(still.distances, still.times, 10'000'000).size(), 1u);
}

TEST(SceneDetector, CutsAndTheirScores) {
    FrameRun hard(10'000'000, 0.01);
    hard.set(2'000'000, 1.0);
    EXPECT_EQ(SceneDetector::scenes(hard.distances, hard.times, 10'000'000),
              (std::vector<SceneSpan>{{0, 2'000'000, 1}, {2'000'000, 10'000'000, 1}}));
    FrameRun soft(10'000'000, 0.01);
    soft.set(2'000'000, 0.1);
    auto scenes = SceneDetector::scenes(soft.distances, soft.times, 10'000'000);
    ASSERT_EQ(scenes.size(), 2u);
    EXPECT_DOUBLE_EQ(scenes[1].score, 0.1 / 0.16);
}

TEST(SceneDetector, CutsKeepAQuarterSecondFromStartAndEnd) {
    struct Case {
        std::vector<int64_t> cuts;
        std::vector<int64_t> starts;
    } cases[] = {
        {{240'000}, {0}},
        {{280'000}, {0, 280'000}},
        {{1'000'000, 1'080'000}, {0, 1'000'000}},
        {{9'760'000}, {0}},
        {{9'720'000}, {0, 9'720'000}},
    };
    for (const auto& c : cases) {
        FrameRun run(10'000'000, 0.01);
        for (int64_t t : c.cuts) run.set(t, 1.0);
        std::vector<int64_t> starts;
        for (const auto& s : SceneDetector::scenes(run.distances, run.times, 10'000'000)) starts.push_back(s.startUs);
        EXPECT_EQ(starts, c.starts) << c.cuts.front();
    }
    // A candidate at exactly 250 ms is taken.
    std::vector<double> d{0, 0.01, 1.0, 0.01};
    std::vector<int64_t> t{0, 100'000, 250'000, 300'000};
    EXPECT_EQ(SceneDetector::scenes(d, t, 1'000'000).size(), 2u);
}
