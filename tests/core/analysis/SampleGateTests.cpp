#include "Core/Analysis/FrameMeasures.hpp"
#include "Core/Analysis/SampleGate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace korvel;

TEST(SampleGate, TakesTheFirstFrameAtOrAfterEachGridPoint) {
    SampleGate gate{500'000, 0};
    std::vector<bool> taken;
    for (int64_t t : {0, 520'000, 980'000, 1'000'000}) taken.push_back(gate.shouldTake(t));
    EXPECT_EQ(taken, (std::vector<bool>{true, true, false, true}));

    SampleGate second{1'000'000, 0};
    std::vector<int64_t> times;
    for (int64_t t = 0; t < 3'000'000; t += 40'000)
        if (second.shouldTake(t)) times.push_back(t);
    EXPECT_EQ(times, (std::vector<int64_t>{0, 1'000'000, 2'000'000}));

    SampleGate gap{1'000'000, 0};
    gap.shouldTake(0);
    EXPECT_TRUE(gap.shouldTake(1'020'000));
    EXPECT_EQ(gap.nextUs, 2'000'000);
    // A time from a damaged file saturates instead of wrapping.
    EXPECT_TRUE(gap.shouldTake(INT64_MAX - 3));
    EXPECT_EQ(gap.nextUs, INT64_MAX);
}

TEST(SampleGate, FrameSizesForALongEdge) {
    struct Case {
        double w, h;
        int64_t edge;
        FrameSize size;
    } cases[] = {
        {1920, 1080, 1280, {1280, 720}}, {1080, 1920, 1280, {720, 1280}}, {300, 200, 1280, {300, 200}},
        {3840, 2160, 1280, {1280, 720}}, {1920, 1080, 320, {320, 180}},   {200, 100, 320, {200, 100}},
        {301, 201, 1280, {302, 202}},    {1, 1, 1280, {2, 2}},            {0, 0, 1280, {2, 2}},
    };
    for (const auto& c : cases) EXPECT_EQ(frameSize(c.w, c.h, c.edge), c.size) << c.w << "x" << c.h;
}

TEST(FrameMeasures, SharpnessOfFlatAndBusyFrames) {
    auto frame = [](int64_t w, int64_t h, auto value) {
        std::vector<uint8_t> px(size_t(w * h * 4));
        for (int64_t y = 0; y < h; ++y)
            for (int64_t x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c) px[size_t((y * w + x) * 4 + c)] = value(x, y);
        return px;
    };
    auto flat = frame(400, 300, [](int64_t, int64_t) { return uint8_t(77); });
    EXPECT_EQ(FrameMeasures::sharpness(flat, 400, 300, 1600), 0);
    auto tiny = frame(2, 9, [](int64_t x, int64_t) { return uint8_t(x * 255); });
    EXPECT_EQ(FrameMeasures::sharpness(tiny, 2, 9, 8), 0);
    // A checkerboard of 0 and 255 on a 1-step grid: L = ±4·255·... every
    // inner point, mean 0, variance (4·2·255)² ... computed directly below.
    auto checker = frame(5, 5, [](int64_t x, int64_t y) { return uint8_t((x + y) % 2 ? 255 : 0); });
    std::vector<double> ls;
    for (int i = 1; i < 4; ++i)
        for (int j = 1; j < 4; ++j) ls.push_back((i + j) % 2 ? -4 * 255.0 : 4 * 255.0);
    double mean = 0, var = 0;
    for (double l : ls) mean += l / 9;
    for (double l : ls) var += (l - mean) * (l - mean) / 9;
    EXPECT_NEAR(FrameMeasures::sharpness(checker, 5, 5, 20), var, 1e-6 * var);
    // A nearly flat bright frame: the one-pass formula loses everything to
    // rounding and can go negative; the two-pass one gives the true tiny value.
    auto almost = frame(600, 400, [](int64_t x, int64_t y) { return uint8_t(x == 300 && y == 200 ? 251 : 250); });
    double s = FrameMeasures::sharpness(almost, 600, 400, 2400);
    EXPECT_GE(s, 0);
}

TEST(FrameMeasures, SharpnessStepOnLargeFrames) {
    // 1280 wide reads every second pixel: a one-pixel checker there is flat.
    std::vector<uint8_t> px(size_t(1280 * 720 * 4));
    for (int64_t y = 0; y < 720; ++y)
        for (int64_t x = 0; x < 1280; ++x)
            for (int c = 0; c < 3; ++c) px[size_t((y * 1280 + x) * 4 + c)] = (x + y) % 2 ? 255 : 0;
    EXPECT_EQ(FrameMeasures::sharpness(px, 1280, 720, 1280 * 4), 0);
}

TEST(MaskRamp, HardenedAtItsPoints) {
    const std::pair<double, double> cases[] = {{0.2, 0}, {0.25, 0}, {0.425, 0.5}, {0.6, 1}, {0.9, 1}};
    for (auto [in, out] : cases) EXPECT_NEAR(MaskRamp::hardened(in), out, 1e-12) << in;
    EXPECT_EQ(MaskRamp::hardened(uint8_t(63)), 0); // 63/255 is below 0.25
    EXPECT_EQ(MaskRamp::hardened(uint8_t(64)), 1);
    EXPECT_EQ(MaskRamp::hardened(uint8_t(153)), 255);
    EXPECT_EQ(MaskRamp::hardened(uint8_t(0)), 0);
    EXPECT_EQ(MaskRamp::hardened(uint8_t(255)), 255);
    for (int v = 0; v < 256; ++v)
        EXPECT_NEAR(MaskRamp::hardened(uint8_t(v)), std::round(MaskRamp::hardened(v / 255.0) * 255), 1) << v;
}
