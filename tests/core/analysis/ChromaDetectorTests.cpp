#include "Core/Analysis/ChromaDetector.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace korvel;

namespace {
std::vector<uint8_t> flat(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    std::vector<uint8_t> out(size_t(w * h * 4));
    for (size_t i = 0; i < out.size(); i += 4) out[i] = r, out[i + 1] = g, out[i + 2] = b, out[i + 3] = 255;
    return out;
}
} // namespace

TEST(ChromaDetector, VerdictsOfFlatFrames) {
    struct Case {
        uint8_t r, g, b;
        bool green;
    } cases[] = {{0, 255, 0, true}, {0, 0, 255, false}, {255, 0, 0, false}, {128, 128, 128, false}, {40, 200, 120, true}};
    for (auto c : cases) {
        ChromaDetector d;
        d.add(flat(320, 240, c.r, c.g, c.b), 320, 240);
        EXPECT_EQ(d.isGreenScreen(), c.green) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    }
}

TEST(ChromaDetector, NothingFedOrTooFewBytesIsNotGreen) {
    ChromaDetector d;
    EXPECT_FALSE(d.isGreenScreen());
    auto frame = flat(320, 240, 0, 255, 0);
    d.add(std::span(frame).first(frame.size() - 1), 320, 240);
    d.add(frame, 0, 240);
    EXPECT_FALSE(d.isGreenScreen());
    ChromaDetector one;
    auto pixel = flat(1, 1, 0, 255, 0);
    one.add(pixel, 1, 1);
    EXPECT_TRUE(one.isGreenScreen());
}

TEST(ChromaDetector, FewerThanMostSaturatedIsNotGreen) {
    // Border columns alternate: four of five sampled columns green, one grey.
    const int w = 400, h = 300;
    auto frame = flat(w, h, 0, 255, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; x += 20)
            for (int k = 0; k < 4; ++k) {
                uint8_t* p = &frame[size_t((y * w + x + k) * 4)];
                p[0] = p[1] = p[2] = 128;
            }
    ChromaDetector d;
    d.add(frame, w, h);
    EXPECT_FALSE(d.isGreenScreen());
}

TEST(ChromaDetector, OneBusyFrameSpoilsTheVerdictForGood) {
    // Tall enough for 16 sampled rows in the top band (800 × 0.08 = 64 rows).
    const int w = 800, h = 800;
    auto busy = flat(w, h, 0, 255, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if ((x / 4 + y / 4) % 2) busy[size_t((y * w + x) * 4 + 1)] = 120; // green, half as bright
    ChromaDetector d;
    d.add(flat(w, h, 0, 255, 0), w, h);
    EXPECT_TRUE(d.isGreenScreen());
    d.add(busy, w, h);
    EXPECT_FALSE(d.isGreenScreen());
    d.add(flat(w, h, 0, 255, 0), w, h);
    EXPECT_FALSE(d.isGreenScreen());
}
