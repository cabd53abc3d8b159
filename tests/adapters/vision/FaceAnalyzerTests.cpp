#include "Adapters/Vision/FaceAnalyzer.hpp"
#include "Adapters/Vision/FrameScorer.hpp"
#include "Adapters/Vision/SceneScanMemo.hpp"
#include "tests/adapters/vision/VisionFixtures.hpp"

#include <gtest/gtest.h>

using namespace korvel;

TEST(FaceAnalyzer, FindsTheAstronautsFaceAndTracksIt) {
    SceneScanMemo memo;
    auto result = FaceAnalyzer::analyze(VisionFixtures::path("astronaut.mp4"), JobContext::silent(), memo);
    ASSERT_EQ(result.samples.size(), 10u);
    EXPECT_EQ(result.samples[1].atUs, 200'000);
    for (const auto& s : result.samples) {
        ASSERT_EQ(s.faces.size(), 1u) << s.atUs;
        const auto& f = s.faces[0];
        // The face sits right of centre in the upper half of the picture.
        EXPECT_NEAR(f.box.centerX(), 0.5, 0.15) << f.box.x;
        EXPECT_NEAR(f.box.centerY(), 0.24, 0.1) << f.box.y;
        EXPECT_GT(f.box.w, 0.1);
        EXPECT_LT(f.box.w, 0.4);
        EXPECT_GT(f.confidence, 0.6);
    }
    ASSERT_EQ(result.tracks.size(), 1u);
    EXPECT_EQ(result.tracks[0].samples.size(), 10u);
    EXPECT_EQ(result.durationUs, 2'000'000);
}

TEST(FrameScorer, ScoresTwiceASecondWithTheFacesQuality) {
    auto samples = FrameScorer::analyze(VisionFixtures::path("astronaut.mp4"), JobContext::silent());
    std::vector<int64_t> times;
    for (const auto& s : samples) times.push_back(s.atUs);
    EXPECT_EQ(times, (std::vector<int64_t>{0, 520'000, 1'000'000, 1'520'000}));
    for (const auto& s : samples) {
        ASSERT_TRUE(s.faceQuality) << s.atUs;
        EXPECT_GT(*s.faceQuality, 0);
        EXPECT_LE(*s.faceQuality, 1);
        EXPECT_GT(s.sharpness, 10);
    }
    auto flat = FrameScorer::analyze(VisionFixtures::path("green.mp4"), JobContext::silent());
    ASSERT_EQ(flat.size(), 2u);
    EXPECT_FALSE(flat[0].faceQuality);
    EXPECT_EQ(flat[0].sharpness, 0);
}
