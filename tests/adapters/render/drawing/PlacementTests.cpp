#include "Adapters/Render/Drawing/Placement.hpp"
#include "Core/Picture/Kernels/Kernels.hpp"
#include "tests/adapters/render/PictureFixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace korvel;
using namespace korvel::pictures;

namespace {
Placement on(int w, int h) { return Placement{render::RenderCanvas(RenderSize{w, h}), ColorRecipe{}}; }
} // namespace

TEST(RenderCanvas, UnitIsTheSmallerOfTheTwoMeasures) {
    EXPECT_DOUBLE_EQ(render::RenderCanvas(RenderSize{1920, 1080}).unit, 6.075);
    EXPECT_DOUBLE_EQ(render::RenderCanvas(RenderSize{1080, 1920}).unit, 10.8);
    EXPECT_DOUBLE_EQ(render::RenderCanvas(RenderSize{1000, 1920}).unit, 10);
    EXPECT_EQ(render::RenderCanvas(RenderSize{40, 30}).rect, (render::Rect{0, 0, 40, 30}));
}

TEST(Placement, AWholeWindowOnItsOwnSizeIsCopied) {
    RGBAImage image = ramp(40, 30);
    RGBAImage out = on(40, 30).fitted(image, SourceWindow{0, 0, 40.00001, 30.000007});
    EXPECT_EQ(out.pixels, image.pixels);
}

TEST(Placement, WholePixelMovesCopyAndRepeatOrClearTheRest) {
    struct Case {
        int dx, dy;
        bool clampEdges;
    };
    // Inside, past each edge, and wholly beside the canvas.
    const RGBAImage image = ramp(23, 17);
    for (Case c : {Case{0, 0, true}, Case{5, -3, false}, Case{-9, 4, true}, Case{-9, 4, false}, Case{30, 0, true},
                   Case{0, -40, false}, Case{-30, 2, true}, Case{12, 8, false}}) {
        Placement placement = on(31, 19);
        RGBAImage out = placement.drawn(image, 1, c.dx, c.dy, placement.canvas.rect, c.clampEdges, true);
        ASSERT_EQ(out.width, 31);
        ASSERT_EQ(out.height, 19);
        for (int y = 0; y < out.height; ++y)
            for (int x = 0; x < out.width; ++x) {
                int sx = x - c.dx, sy = y - c.dy;
                if (c.clampEdges) sx = std::clamp(sx, 0, image.width - 1), sy = std::clamp(sy, 0, image.height - 1);
                bool on = sx >= 0 && sy >= 0 && sx < image.width && sy < image.height;
                for (int ch = 0; ch < 4; ++ch) {
                    float want = on ? image.row(sy)[sx * 4 + ch] : 0.0f;
                    ASSERT_EQ(out.row(y)[x * 4 + ch], want) << "moved by " << c.dx << ", " << c.dy << " at " << x << ", " << y;
                }
            }
    }
}

TEST(Placement, ShrinkingRepeatsTheEdgesAndKeepsAFlatPictureFlat) {
    RGBAImage flat = solid(160, 90, 0.3f, 0.6f, 0.9f);
    RGBAImage out = on(40, 22).fitted(flat, SourceWindow{0, 0, 160, 88});
    for (size_t i = 0; i < out.pixels.size(); i += 4) {
        ASSERT_NEAR(out.pixels[i], 0.3f, 1e-5) << i / 4; // no dark rim from the border
        ASSERT_NEAR(out.pixels[i + 3], 1.0f, 1e-5);
    }
}

TEST(Placement, CoverContainAndPart) {
    Placement p = on(2000, 2000);
    RGBAImage image = ramp(1000, 500);
    RGBAImage covered = p.covered(image, render::Rect{0, 0, 500, 500});
    ASSERT_EQ(covered.width, 500);
    ASSERT_EQ(covered.height, 500);
    // Scale 1: 250 pixels cut from each side.
    EXPECT_FLOAT_EQ(at(covered, 0, 0)[0], at(image, 250, 0)[0]);
    EXPECT_FLOAT_EQ(at(covered, 499, 499)[0], at(image, 749, 499)[0]);
    RGBAImage contained = p.contained(image, render::Rect{0, 0, 500, 500});
    // Scale 0.5: transparent bands of 125 pixels above and below.
    EXPECT_EQ(contained.y, 125);
    EXPECT_EQ(contained.height, 250);
    EXPECT_EQ(contained.width, 500);
    EXPECT_TRUE(p.covered(image, render::Rect{10, 10, 0, 40}).empty());
    RGBAImage sliver = Placement::part(image, NormalizedRect{0.5, 0, 0.0001, 1});
    EXPECT_EQ(sliver.width, 1);
    EXPECT_EQ(sliver.height, 500);
    RGBAImage corner = Placement::part(image, NormalizedRect{0.5, 0.5, 0.5, 0.5});
    EXPECT_EQ(corner.width, 500);
    EXPECT_EQ(corner.height, 250);
    EXPECT_FLOAT_EQ(at(corner, 0, 0)[0], at(image, 500, 250)[0]);
}

TEST(Placement, NothingReachesOutsideTheCanvas) {
    Placement p = on(64, 36);
    RGBAImage image = ramp(100, 100);
    RGBAImage huge = p.covered(image, render::Rect{-1e7, -1e7, 2e7, 2e7});
    EXPECT_LE(huge.width, 64);
    EXPECT_LE(huge.height, 36);
    RGBAImage placed = p.placedExactly(image, SourceWindow{-50, 0, 200, 112.5}, solid(64, 36, 0, 0, 0));
    EXPECT_EQ(placed.width, 64);
    EXPECT_EQ(placed.height, 36);
}

TEST(Placement, AMaskPlacedPastItsPictureHasTheSameCoverageOverBlackOrNothing) {
    // A scene reads a placed mask's red value alone: over an opaque black
    // canvas or over nothing it must be the same. Soft edges, values past
    // [0, 1] and holes in the mask's alpha.
    const SourceWindow windows[] = {{-40, -22.5, 272, 153}, {-6, -3, 43, 24.1875}, {30, 20, 120, 67.5}};
    RGBAImage mask = RGBAImage::blank(0, 0, 64, 36);
    for (int y = 0; y < mask.height; ++y)
        for (int x = 0; x < mask.width; ++x) {
            float* p = mask.row(y) + x * 4;
            p[0] = std::clamp(1.2f - std::hypot(x - 32.0f, y - 20.0f) / 12, -0.1f, 1.1f);
            p[1] = p[2] = p[0];
            p[3] = (x + y) % 7 == 0 ? 0.5f : 1.0f;
        }
    Placement placement = on(80, 45);
    RGBAImage black = solid(80, 45, 0, 0, 0);
    for (const SourceWindow& window : windows) {
        RGBAImage over = placement.placedExactlyStretched(mask, 192, 108, window, black);
        RGBAImage bare = placement.placedExactlyStretched(mask, 192, 108, window, RGBAImage{});
        ASSERT_EQ(over.pixels.size(), bare.pixels.size());
        for (size_t i = 0; i < over.pixels.size(); i += 4) ASSERT_EQ(over.pixels[i], bare.pixels[i]) << "pixel " << i / 4;
    }
}

TEST(Placement, AStretchedPictureFramedInOneStepIsFramedAsInTwo) {
    // A mask stretched to its picture's size and framed like it, through one
    // plan of taps instead of two drawings: shrunk, held and enlarged on
    // each axis, windows inside and past the picture, offset masks.
    struct Case {
        int maskWidth, maskHeight, maskX, width, height;
        SourceWindow window;
    };
    const Case cases[] = {{64, 36, 0, 192, 108, {0, 0, 192, 108}},      {64, 36, 0, 192, 108, {30, 20, 120, 67.5}},
                          {64, 64, 0, 192, 108, {-40, -22.5, 272, 153}}, {50, 30, 3, 160, 90, {-10, -5, 180, 101.25}},
                          {200, 120, 0, 96, 54, {0, 0, 96, 54}},         {31, 17, 0, 31, 17, {-6, -3, 43, 24.1875}},
                          {48, 27, 0, 96, 54, {12, 6, 48, 27}}};
    for (const Case& c : cases) {
        RGBAImage mask = RGBAImage::blank(c.maskX, 0, c.maskWidth, c.maskHeight);
        for (int y = 0; y < mask.height; ++y)
            for (int x = 0; x < mask.width; ++x) {
                float* p = mask.row(y) + x * 4;
                p[0] = ((x / 5 + y / 3) % 2) ? 1.0f : 0.0f;
                p[1] = static_cast<float>(x) / mask.width;
                p[2] = static_cast<float>(y) / mask.height;
                p[3] = 1;
            }
        Placement placement = on(80, 45);
        RGBAImage sized = Placement::stretched(mask, c.width, c.height);
        RGBAImage backdrop = solid(80, 45, 0, 0, 0);
        struct Road {
            const char* what;
            RGBAImage one, two;
        };
        for (const Road& r : {Road{"fitted", placement.fittedStretched(mask, c.width, c.height, c.window),
                                   placement.fitted(sized, c.window)},
                              Road{"placed", placement.placedExactlyStretched(mask, c.width, c.height, c.window, backdrop),
                                   placement.placedExactly(sized, c.window, backdrop)}}) {
            ASSERT_EQ(r.one.x, r.two.x) << r.what;
            ASSERT_EQ(r.one.y, r.two.y) << r.what;
            ASSERT_EQ(r.one.width, r.two.width) << r.what;
            ASSERT_EQ(r.one.height, r.two.height) << r.what;
            for (size_t i = 0; i < r.one.pixels.size(); ++i)
                ASSERT_NEAR(r.one.pixels[i], r.two.pixels[i], 2e-5)
                    << r.what << " of " << c.maskWidth << "x" << c.maskHeight << " to " << c.width << "x" << c.height
                    << " value " << i;
        }
    }
}

TEST(Placement, APictureShrunkFromItsRowsIsThePictureShrunkWhole) {
    // The whole picture, a part of it, one past its edges, and bands of one
    // row or many: each band reads only its rows, and draws what the whole
    // picture draws, on the vector road and the scalar one. A window that
    // keeps or enlarges the picture is left to `fitted`.
    struct Case {
        int width, height, canvasWidth, canvasHeight;
        SourceWindow window;
        bool shrinks;
    };
    const Case cases[] = {{97, 61, 40, 25, {0, 0, 97, 60.625}, true},   {640, 360, 540, 304, {0, 0, 640, 360.3}, true},
                          {97, 61, 30, 20, {10, 5, 60, 40}, true},      {97, 61, 40, 25, {-20, -8, 140, 87.5}, true},
                          {97, 61, 97, 61, {0, 0, 97, 61}, false},      {97, 61, 60, 40, {20, 10, 30, 20}, false},
                          {33, 400, 11, 100, {0, 0, 33, 300}, true}};
    for (bool references : {false, true}) {
        Kernels::useReferences(references);
        for (const Case& c : cases) {
            RGBAImage picture = ramp(c.width, c.height);
            for (size_t i = 0; i < picture.pixels.size(); i += 7) picture.pixels[i] *= 0.5f; // detail along both axes
            int read = 0;
            auto row = [&](int y, float* rgba) {
                ++read;
                std::copy_n(picture.row(y), static_cast<size_t>(c.width) * 4, rgba);
            };
            Placement placement = on(c.canvasWidth, c.canvasHeight);
            auto then = [&](RGBAImage& out, int from, int to) {
                for (int y = from; y < to; ++y) out.row(y - out.y)[0] += 1; // runs once on every row
            };
            auto shrunk = placement.fittedShrunk(row, c.width, c.height, c.window, then);
            ASSERT_EQ(shrunk.has_value(), c.shrinks) << c.width << "x" << c.height << " onto " << c.canvasWidth;
            if (!shrunk) continue;
            RGBAImage whole = placement.fitted(picture, c.window, then);
            EXPECT_EQ(shrunk->x, whole.x);
            EXPECT_EQ(shrunk->width, whole.width);
            EXPECT_EQ(shrunk->height, whole.height);
            EXPECT_EQ(shrunk->pixels, whole.pixels) << c.width << "x" << c.height << " onto " << c.canvasWidth
                                                    << (references ? ", scalar" : "");
            EXPECT_GT(read, 0);
        }
    }
    Kernels::useReferences(false);
}
