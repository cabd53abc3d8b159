#include "Adapters/Vision/ColorAnalyzer.hpp"

#include <gtest/gtest.h>

using namespace korvel;

// Faces are found on the upright picture; the adjustments read the frame as
// stored, so each box is turned back the way the frame was turned up.
TEST(ColorAnalyzer, FaceBoxesAreTurnedBackToTheStoredFrame) {
    const NormalizedBox upright{0.1, 0.2, 0.3, 0.4};
    struct Case {
        int orientation;
        NormalizedBox stored;
    } cases[] = {
        {1, {0.1, 0.2, 0.3, 0.4}},
        {6, {0.2, 0.6, 0.4, 0.3}}, // stood up by a quarter turn clockwise
        {8, {0.4, 0.1, 0.4, 0.3}}, // by a quarter turn counterclockwise
        {3, {0.6, 0.4, 0.3, 0.4}},
        {2, {0.6, 0.2, 0.3, 0.4}}, // mirrored left to right
        {4, {0.1, 0.4, 0.3, 0.4}}, // top to bottom
        {5, {0.2, 0.1, 0.4, 0.3}}, // transposed
        {7, {0.4, 0.6, 0.4, 0.3}}, // transversed
    };
    for (const auto& c : cases) {
        const NormalizedBox got = ColorAnalyzer::storedBox(upright, c.orientation);
        EXPECT_NEAR(got.x, c.stored.x, 1e-12) << c.orientation;
        EXPECT_NEAR(got.y, c.stored.y, 1e-12) << c.orientation;
        EXPECT_NEAR(got.w, c.stored.w, 1e-12) << c.orientation;
        EXPECT_NEAR(got.h, c.stored.h, 1e-12) << c.orientation;
    }
}
