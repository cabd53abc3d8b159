#include "Core/Plan/Segment.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

using namespace korvel;

namespace {

TransformKeyframe key(int64_t outUs, double x, double y, double scale) { return {outUs, {x, y}, scale}; }

void expectSample(const Transform::Sample& got, double x, double y, double scale, int64_t t) {
    EXPECT_DOUBLE_EQ(got.center.x, x) << "t=" << t;
    EXPECT_DOUBLE_EQ(got.center.y, y) << "t=" << t;
    EXPECT_DOUBLE_EQ(got.scale, scale) << "t=" << t;
}

} // namespace

TEST(TransformSampled, InterpolatesLinearlyAndHoldsAtTheEnds) {
    const Transform two{{key(1000000, 0.2, 0.2, 1.0), key(3000000, 0.6, 0.4, 2.0)}};
    const Transform none{};
    const Transform single{{key(500, 0.3, 0.7, 1.4)}};
    // The last two share a time: the later keyframe holds from that time on.
    const Transform jump{{key(0, 0, 0, 1), key(100, 1, 1, 2), key(100, 0.5, 0.25, 3)}};
    // Out of order: the first pair whose later time exceeds t is used.
    const Transform unsorted{{key(0, 0, 0, 1), key(200, 1, 1, 3), key(100, 0.5, 0.5, 2), key(300, 0, 0, 1)}};

    struct Case {
        const Transform* transform;
        int64_t t;
        double x, y, scale;
    };
    const Case cases[] = {
        {&none, -5, 0.5, 0.5, 1.0},
        {&none, 9000000, 0.5, 0.5, 1.0},
        {&two, 0, 0.2, 0.2, 1.0},
        {&two, 1000000, 0.2, 0.2, 1.0},
        {&two, 2000000, 0.4, 0.3, 1.5},
        {&two, 2500000, 0.5, 0.35, 1.75},
        {&two, 3000000, 0.6, 0.4, 2.0},
        {&two, 9000000, 0.6, 0.4, 2.0},
        {&single, 0, 0.3, 0.7, 1.4},
        {&single, 500, 0.3, 0.7, 1.4},
        {&single, 501, 0.3, 0.7, 1.4},
        {&jump, 99, 0.99, 0.99, 1.99},
        {&jump, 100, 0.5, 0.25, 3.0},
        {&unsorted, 150, 0.75, 0.75, 2.5},
        {&unsorted, 250, 0.125, 0.125, 1.25},
    };
    for (const auto& c : cases) expectSample(c.transform->sampled(c.t), c.x, c.y, c.scale, c.t);
}

TEST(TransformSampled, FarApartKeyframesDoNotOverflow) {
    constexpr int64_t lo = std::numeric_limits<int64_t>::min();
    constexpr int64_t hi = std::numeric_limits<int64_t>::max();
    const Transform wide{{key(lo, 0, 0, 0), key(hi, 1, 1, 2)}};
    auto mid = wide.sampled(0);
    EXPECT_NEAR(mid.center.x, 0.5, 1e-9);
    EXPECT_NEAR(mid.scale, 1.0, 1e-9);
}
