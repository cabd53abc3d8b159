#include "Core/Analysis/FaceTracker.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace korvel;

namespace {
DetectedFace face(double x, double y, double w, double h) { return {{x, y, w, h}, 0.9}; }
FaceSample at(int64_t t, std::vector<DetectedFace> faces) { return {t, std::move(faces)}; }
} // namespace

TEST(NormalizedBox, ClampedToTheUnitSquare) {
    EXPECT_EQ((NormalizedBox{0.75, 0.5, 0.5, 0.25}.clamped()), (NormalizedBox{0.75, 0.5, 0.25, 0.25}));
    EXPECT_EQ((NormalizedBox{-0.25, 0, 0.5, 0.5}.clamped()), (NormalizedBox{0, 0, 0.25, 0.5}));
    EXPECT_EQ((NormalizedBox{1.5, 2, 0.5, 0.5}.clamped()), (NormalizedBox{1, 1, 0, 0}));
    // A negative size never becomes a negative width.
    EXPECT_EQ((NormalizedBox{0.5, 0.5, -0.3, -0.1}.clamped()), (NormalizedBox{0.5, 0.5, 0, 0}));
}

TEST(FaceTracker, NoFacesNoTracks) {
    EXPECT_TRUE(FaceTracker::tracks({}, 1'000'000, {}).empty());
    std::vector<FaceSample> empty{at(0, {}), at(200'000, {})};
    EXPECT_TRUE(FaceTracker::tracks(empty, 1'000'000, {}).empty());
}

TEST(FaceTracker, StillFaceAndCoastingSamples) {
    std::vector<FaceSample> samples{at(0, {}), at(200'000, {face(0.4, 0.3, 0.2, 0.2)}), at(400'000, {}), at(600'000, {}),
                                    at(800'000, {face(0.4, 0.3, 0.2, 0.2)})};
    auto tracks = FaceTracker::tracks(samples, 1'000'000, {});
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0].startUs, 0);
    EXPECT_EQ(tracks[0].endUs, 1'000'000);
    ASSERT_EQ(tracks[0].samples.size(), 4u); // from the first sample with a face
    const bool detected[] = {true, false, false, true};
    for (size_t i = 0; i < 4; ++i) {
        const auto& b = tracks[0].samples[i].box;
        EXPECT_NEAR(b.x, 0.4, 1e-12);
        EXPECT_NEAR(b.y, 0.3, 1e-12);
        EXPECT_NEAR(b.w, 0.2, 1e-12);
        EXPECT_EQ(tracks[0].samples[i].detected, detected[i]);
    }
}

TEST(FaceTracker, CutsSplitScenesAndOddCutsAreIgnored) {
    std::vector<FaceSample> samples{at(0, {face(0.1, 0.1, 0.2, 0.2)}), at(500'000, {face(0.6, 0.1, 0.2, 0.2)}),
                                    at(900'000, {})};
    auto tracks = FaceTracker::tracks(samples, 1'000'000, {500'000, 0, 1'000'000, -3, 2'000'000, 500'000});
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].endUs, 500'000);
    EXPECT_EQ(tracks[1].startUs, 500'000); // the sample at the cut opens the next scene
    EXPECT_EQ(tracks[1].samples.size(), 2u);
    EXPECT_NEAR(tracks[1].samples[0].box.x, 0.6, 1e-12);
}

TEST(FaceTracker, OneEuroValues) {
    // From centre 0.5 to a face centred at 0.6 after 200 ms.
    std::vector<FaceSample> samples{at(0, {face(0.4, 0.4, 0.2, 0.2)}), at(200'000, {face(0.5, 0.4, 0.2, 0.2)})};
    auto tracks = FaceTracker::tracks(samples, 1'000'000, {});
    ASSERT_EQ(tracks.size(), 1u);
    const double dt = 0.2;
    auto alpha = [&](double f) { return 1 / (1 + (1 / (2 * std::numbers::pi * f)) / dt); };
    double derivative = alpha(1) * (0.1 / dt);
    double value = 0.5 + alpha(0.6 + 12 * std::abs(derivative)) * 0.1;
    EXPECT_NEAR(tracks[0].samples[1].box.centerX(), value, 1e-12);
    EXPECT_NEAR(tracks[0].samples[1].box.centerY(), 0.5, 1e-12);
    // Two samples at the same time use dt = 1 ms.
    std::vector<FaceSample> same{at(0, {face(0.4, 0.4, 0.2, 0.2)}), at(0, {face(0.5, 0.4, 0.2, 0.2)})};
    auto t2 = FaceTracker::tracks(same, 1'000'000, {});
    double a1 = 1 / (1 + (1 / (2 * std::numbers::pi)) / 0.001);
    double d2 = a1 * (0.1 / 0.001);
    double a2 = 1 / (1 + (1 / (2 * std::numbers::pi * (0.6 + 12 * d2))) / 0.001);
    EXPECT_NEAR(t2[0].samples[1].box.centerX(), 0.5 + a2 * 0.1, 1e-12);
}

TEST(FaceTracker, ANewFaceTakesOverAtItsThirdSighting) {
    auto followed = face(0.1, 0.1, 0.1, 0.1);
    auto big = face(0.6, 0.6, 0.3, 0.3);
    std::vector<FaceSample> samples{at(0, {followed}), at(200'000, {big}), at(400'000, {big}), at(600'000, {big}),
                                    at(800'000, {big})};
    auto tracks = FaceTracker::tracks(samples, 1'000'000, {});
    ASSERT_EQ(tracks[0].samples.size(), 5u);
    EXPECT_FALSE(tracks[0].samples[1].detected);
    EXPECT_FALSE(tracks[0].samples[2].detected);
    EXPECT_TRUE(tracks[0].samples[3].detected);
    EXPECT_NEAR(tracks[0].samples[3].box.w, 0.3, 1e-12); // the size jumps with the switch

    // A sample without faces resets the count; the followed face near the
    // track does too.
    std::vector<FaceSample> reset{at(0, {followed}), at(200'000, {big}), at(400'000, {big}), at(600'000, {}),
                                  at(800'000, {big}), at(1'000'000, {big, followed}), at(1'200'000, {big})};
    auto t2 = FaceTracker::tracks(reset, 2'000'000, {});
    for (const auto& s : t2[0].samples) EXPECT_NEAR(s.box.w, 0.1, 1e-12) << s.atUs;
}

TEST(FaceTracker, HeldSizeChangesOnlyBeyondSixPercent) {
    std::vector<FaceSample> grow5{at(0, {face(0.4, 0.4, 0.2, 0.2)}), at(200'000, {face(0.4, 0.4, 0.21, 0.2)})};
    EXPECT_NEAR(FaceTracker::tracks(grow5, 1'000'000, {})[0].samples[1].box.w, 0.2, 1e-12);
    std::vector<FaceSample> grow7{at(0, {face(0.4, 0.4, 0.2, 0.2)}), at(200'000, {face(0.4, 0.4, 0.214, 0.2)})};
    EXPECT_NEAR(FaceTracker::tracks(grow7, 1'000'000, {})[0].samples[1].box.w, 0.214, 1e-12);
}
