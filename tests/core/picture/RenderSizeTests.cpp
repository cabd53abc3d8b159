#include "Core/Picture/RenderSize.hpp"

#include <gtest/gtest.h>

using namespace korvel;

TEST(RenderSize, FitsTheLongEdgeWithEvenSides) {
    struct Case {
        int64_t w, h, edge;
        RenderSize expected;
    };
    std::vector<Case> cases{
        {1920, 1080, 1920, {1920, 1080}}, // fits already
        {1921, 1081, 4000, {1921, 1081}}, // odd sides kept when nothing is scaled
        {1920, 1080, 640, {640, 360}},
        {1080, 1920, 640, {360, 640}},
        {1000, 333, 500, {500, 166}},  // 166.5 → halves: 83.25 rounds to 83
        {1000, 334, 500, {500, 168}},  // 83.5 rounds away from zero to 84
        {4000, 3000, 1, {2, 0}},  // 0.5 rounds up, 0.375 down
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RenderSize::fitting(c.w, c.h, c.edge), c.expected) << c.w << "x" << c.h << " in " << c.edge;
    }
}
