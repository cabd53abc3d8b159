#include "Adapters/Vision/TextRegionFinder.hpp"
#include "tests/adapters/vision/VisionFixtures.hpp"

#include <gtest/gtest.h>

using namespace korvel;

TEST(TextRegionFinder, CaptionsGiveRegionsOverThem) {
    auto samples = TextRegionFinder::analyze(VisionFixtures::path("captions.mp4"), JobContext::silent());
    ASSERT_EQ(samples.size(), 3u);
    for (size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i].atUs, int64_t(i) * 1'000'000);
        ASSERT_EQ(samples[i].regions.size(), 1u) << i;
        const auto& r = samples[i].regions[0];
        // The caption: centred, 80 pixels from the bottom of 360, 40 tall.
        EXPECT_NEAR(r.box.centerX(), 0.5, 0.05);
        EXPECT_NEAR(r.box.y, 280.0 / 360, 0.05);
        EXPECT_NEAR(r.box.h, 40.0 / 360, 0.06);
        EXPECT_GT(r.box.w, 0.3);
        EXPECT_GT(r.confidence, 0.5);
        EXPECT_LE(r.confidence, 1.0);
    }
}

TEST(TextRegionFinder, AClipWithoutTextGivesEmptySamples) {
    auto samples = TextRegionFinder::analyze(VisionFixtures::path("green.mp4"), JobContext::silent());
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_TRUE(samples[0].regions.empty());
}
