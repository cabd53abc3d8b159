#include "Core/Timeline/Framing.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace korvel;

TEST(Framing, WindowsForWorkedCases) {
    struct Case {
        const char* what;
        FramingInput input;
        NormalizedPoint center;
        double scale;
        SourceWindow expected;
        bool past;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<Case> cases{
        {"same aspect at scale 1", {1920, 1080, 1280, 720}, {0.5, 0.5}, 1, {0, 0, 1920, 1080}, false},
        {"portrait source covered", {1080, 1920, 1920, 1080}, {0.5, 0.5}, 1, {0, 656.25, 1080, 607.5}, false},
        {"portrait source, top clamp", {1080, 1920, 1920, 1080}, {0.5, 0}, 1, {0, 0, 1080, 607.5}, false},
        {"portrait source, bottom clamp", {1080, 1920, 1920, 1080}, {1, 1}, 1, {0, 1312.5, 1080, 607.5}, false},
        {"zoomed out to contain", {1080, 1920, 1920, 1080}, {0.5, 0.5}, 0.1, {-1166.6666666666667, 0, 3413.3333333333335, 1920}, true},
        {"zoomed in, top-left corner", {1920, 1080, 1920, 1080}, {0, 0}, 2, {0, 0, 960, 540}, false},
        {"zoomed in, bottom-right corner", {1920, 1080, 1920, 1080}, {1, 1}, 2, {960, 540, 960, 540}, false},
        // A client scale past all sense still frames one source pixel.
        {"huge scale", {1920, 1080, 1920, 1080}, {0.5, 0.5}, 1e300, {959.1111111111111, 539.5, 1.7777777777777777, 1}, false},
        {"scale not a number counts as 1", {1920, 1080, 1920, 1080}, {0.5, 0.5}, nan, {0, 0, 1920, 1080}, false},
    };
    for (const auto& c : cases) {
        SourceWindow w = c.input.window(c.center, c.scale);
        EXPECT_NEAR(w.x, c.expected.x, 1e-6) << c.what;
        EXPECT_NEAR(w.y, c.expected.y, 1e-6) << c.what;
        EXPECT_NEAR(w.width, c.expected.width, 1e-6) << c.what;
        EXPECT_NEAR(w.height, c.expected.height, 1e-6) << c.what;
        EXPECT_EQ(w.showsPastTheSource(c.input.sourceWidth, c.input.sourceHeight), c.past) << c.what;
        EXPECT_GE(w.width, 1) << c.what;
        EXPECT_GE(w.height, 1) << c.what;
    }
}

TEST(Framing, ShowsPastTheSourceOnlyBeyondAThousandthOfAPixel) {
    EXPECT_FALSE((SourceWindow{-0.0005, 0, 100, 50}).showsPastTheSource(100, 50));
    EXPECT_TRUE((SourceWindow{-0.002, 0, 100, 50}).showsPastTheSource(100, 50));
    EXPECT_FALSE((SourceWindow{0, 0, 100.0005, 50}).showsPastTheSource(100, 50));
    EXPECT_TRUE((SourceWindow{0, 0.5, 100, 50}).showsPastTheSource(100, 50));
    EXPECT_TRUE((SourceWindow{0, -0.002, 100, 50}).showsPastTheSource(100, 50));
}
