// The blurs: a wide one runs on a shrunk copy and must still look like the
// exact Gaussian; read back pixel by pixel it must give the picture drawn.
#include "Adapters/Render/Drawing/Blur.hpp"
#include "Adapters/Render/Drawing/Placement.hpp"
#include "Core/Picture/Compositing.hpp"
#include "tests/adapters/render/MediaFixtures.hpp"
#include "tests/adapters/render/PictureFixtures.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <fstream>
#include <vector>

using namespace korvel;
using namespace korvel::pictures;

namespace {
// Hard edges, fine stripes and a slow ramp: every scale a blur can lose.
RGBAImage detailed(int w, int h) {
    RGBAImage image = RGBAImage::blank(0, 0, w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float* p = image.row(y) + x * 4;
            p[0] = ((x / 9 + y / 13) % 2) ? 0.95f : 0.02f;
            p[1] = x % 3 == 0 ? 0.8f : 0.1f;
            p[2] = 1.2f * (x + y) / (w + h);
            p[3] = x < w / 3 ? 0.5f : 1.0f;
        }
    return image;
}

// The Gaussian over the full picture: taps out to four sigmas, edge pixels
// repeated outward, sums in double.
RGBAImage exactGaussian(const RGBAImage& image, double sigma) {
    const int w = image.width, h = image.height, r = static_cast<int>(std::ceil(4 * sigma));
    std::vector<double> taps(static_cast<size_t>(2 * r + 1));
    double total = 0;
    for (int k = -r; k <= r; ++k) total += taps[static_cast<size_t>(k + r)] = std::exp(-k * k / (2 * sigma * sigma));
    for (double& t : taps) t /= total;
    std::vector<double> across(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c) {
                double s = 0;
                for (int k = -r; k <= r; ++k) s += taps[static_cast<size_t>(k + r)] * image.row(y)[std::clamp(x + k, 0, w - 1) * 4 + c];
                across[(static_cast<size_t>(y) * w + x) * 4 + c] = s;
            }
    RGBAImage out = RGBAImage::blank(0, 0, w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c) {
                double s = 0;
                for (int k = -r; k <= r; ++k)
                    s += taps[static_cast<size_t>(k + r)] * across[(static_cast<size_t>(std::clamp(y + k, 0, h - 1)) * w + x) * 4 + c];
                out.row(y)[x * 4 + c] = static_cast<float>(s);
            }
    return out;
}

// A testsrc2 frame as RGBA floats, its alpha a ramp.
RGBAImage testFrame(int w, int h) {
    namespace fx = MediaFixtures;
    const std::filesystem::path file = fx::folder() / ("blur-frame-" + std::to_string(getpid()) + ".rgba");
    fx::runCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + std::to_string(w) + "x" +
                   std::to_string(h) + " -frames:v 1 -pix_fmt rgba -f rawvideo '" + file.string() + "'");
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    std::filesystem::remove(file);
    RGBAImage image = RGBAImage::blank(0, 0, w, h);
    EXPECT_EQ(bytes.size(), image.pixels.size());
    for (size_t i = 0; i < image.pixels.size() && i < bytes.size(); ++i)
        image.pixels[i] = i % 4 == 3 ? static_cast<float>((i / 4) % w) / w : bytes[i] / 255.0f;
    return image;
}

// The blur as OpenCV drew it: its Gaussian at full size, or on a copy shrunk
// by area and brought back linearly.
RGBAImage openCVGaussian(const RGBAImage& image, double sigma) {
    const int w = image.width, h = image.height, f = sigma > 4 ? static_cast<int>(std::ceil(sigma / 4)) : 1;
    cv::Mat from(h, w, CV_32FC4, const_cast<float*>(image.pixels.data()));
    RGBAImage out = RGBAImage::blank(0, 0, w, h);
    cv::Mat to(h, w, CV_32FC4, out.pixels.data());
    if (f == 1) {
        cv::GaussianBlur(from, to, cv::Size(0, 0), sigma, sigma, cv::BORDER_REPLICATE);
        return out;
    }
    cv::Mat small;
    cv::resize(from, small, cv::Size(std::max(1, w / f), std::max(1, h / f)), 0, 0, cv::INTER_AREA);
    cv::GaussianBlur(small, small, cv::Size(0, 0), sigma * small.cols / w, sigma * small.rows / h,
                     cv::BORDER_REPLICATE);
    cv::resize(small, to, to.size(), 0, 0, cv::INTER_LINEAR);
    return out;
}

// Peak signal to noise over values clamped to [0, 1], in decibels, over the
// pixels at least `margin` from every edge.
double psnr(const RGBAImage& a, const RGBAImage& b, int margin = 0) {
    double squares = 0;
    size_t n = 0;
    for (int y = margin; y < a.height - margin; ++y)
        for (int x = margin; x < a.width - margin; ++x)
            for (int c = 0; c < 4; ++c, ++n) {
                double d = std::clamp(a.row(y)[x * 4 + c], 0.0f, 1.0f) - std::clamp(b.row(y)[x * 4 + c], 0.0f, 1.0f);
                squares += d * d;
            }
    return 10 * std::log10(1 / std::max(squares / static_cast<double>(std::max<size_t>(n, 1)), 1e-30));
}
} // namespace

TEST(Blur, ItIsOpenCVsGaussianWithinAFractionOfACodeValue) {
    // Full size and shrunk, sizes the shrunk copy divides and ones it does
    // not, a kernel wider than the picture.
    struct Case {
        int width, height;
        double sigma;
    };
    const Case cases[] = {{320, 180, 0.5}, {320, 180, 2}, {322, 178, 3.3}, {320, 180, 4},
                          {320, 180, 6},   {334, 186, 20}, {24, 16, 4}};
    for (const Case& c : cases) {
        const RGBAImage image = testFrame(c.width, c.height);
        const RGBAImage got = Blur::gaussian(image, c.sigma, 1000), want = openCVGaussian(image, c.sigma);
        float worst = 0;
        for (size_t i = 0; i < want.pixels.size(); ++i) worst = std::max(worst, std::fabs(got.pixels[i] - want.pixels[i]));
        EXPECT_LT(worst * 255, 0.05) << c.width << "x" << c.height << " sigma " << c.sigma;
    }
}

TEST(Blur, ReadBackPixelByPixelItGivesThePictureDrawn) {
    struct Case {
        int width, height;
        double sigma;
    };
    const Case cases[] = {{97, 61, 0},   {97, 61, 0.2}, {97, 61, 2.5},   {160, 90, 4},  {160, 90, 4.5},
                          {301, 170, 9}, {301, 170, 30}, {64, 1, 12},    {5, 3, 40}};
    for (const Case& c : cases) {
        RGBAImage image = detailed(c.width, c.height);
        RGBAImage drawn = Blur::gaussian(image, c.sigma, 1000);
        Blur::Field field = Blur::field(image, c.sigma, 1000);
        ASSERT_EQ(field.width(), c.width);
        ASSERT_EQ(field.height(), c.height);
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x) {
                float v[4];
                field.at(x, y, v);
                for (int k = 0; k < 4; ++k)
                    ASSERT_NEAR(v[k], drawn.row(y)[x * 4 + k], 1e-5) << "sigma " << c.sigma << " at " << x << "," << y;
            }
    }
}

TEST(Blur, AShrunkCopyMadeByTheCallerGivesTheSameBlur) {
    for (double sigma : {2.0, 6.0, 9.0, 20.0}) {
        RGBAImage image = detailed(240, 120);
        int f = Blur::reduction(sigma, 1000);
        ASSERT_EQ(f, sigma > 4 ? static_cast<int>(std::ceil(sigma / 4)) : 1);
        RGBAImage reduced = RGBAImage::transparent(0, 0, 240 / f, 120 / f);
        for (int y = 0; y < 120; ++y)
            for (int x = 0; x < 240; ++x)
                for (int c = 0; c < 4; ++c) reduced.row(y / f)[(x / f) * 4 + c] += image.row(y)[x * 4 + c] / (f * f);
        Blur::Field given = Blur::reducedField(std::move(reduced), 240, 120, sigma, 1000);
        Blur::Field own = Blur::field(image, sigma, 1000);
        for (int y = 0; y < 120; ++y)
            for (int x = 0; x < 240; ++x) {
                float a[4], b[4];
                given.at(x, y, a);
                own.at(x, y, b);
                for (int c = 0; c < 4; ++c) ASSERT_NEAR(a[c], b[c], 1e-5) << "sigma " << sigma << " at " << x << "," << y;
            }
    }
}

TEST(Blur, OnTheCanvasItBlursThePictureDrawnThere) {
    struct Case {
        int x, y, width, height, canvasWidth, canvasHeight;
        double sigma;
    };
    // Pictures inside, past and covering the canvas; canvases the shrunk
    // copy divides and ones it does not.
    const Case cases[] = {{0, 0, 240, 120, 240, 120, 9},   {17, -5, 150, 90, 240, 120, 9},
                          {-30, 20, 400, 200, 240, 120, 6}, {17, -5, 150, 90, 241, 121, 9},
                          {10, 10, 100, 50, 240, 120, 2},   {300, 0, 20, 20, 240, 120, 12},
                          // A picture zoomed out on canvases of the blurred
                          // backdrop's sizes: shrunk by 6 (whole) and by 7
                          // (1920 / 274 and 1080 / 154), and odd ones.
                          {243, 137, 1134, 638, 1620, 912, 20.5},
                          {288, 162, 1344, 756, 1920, 1080, 24.3},
                          {-7, 3, 500, 300, 997, 541, 13},
                          {0, 0, 61, 33, 61, 33, 30}};
    for (const Case& c : cases) {
        RGBAImage picture = detailed(c.width, c.height);
        picture.x = c.x;
        picture.y = c.y;
        RGBAImage drawn = RGBAImage::transparent(0, 0, c.canvasWidth, c.canvasHeight);
        Compositing::over(drawn, picture, 0, c.canvasHeight);
        RGBAImage want = Blur::gaussian(drawn, c.sigma, 1000);
        RGBAImage got = Blur::gaussianOnCanvas(picture, c.canvasWidth, c.canvasHeight, c.sigma, 1000);
        ASSERT_EQ(got.width, c.canvasWidth);
        ASSERT_EQ(got.height, c.canvasHeight);
        for (size_t i = 0; i < want.pixels.size(); ++i)
            ASSERT_NEAR(got.pixels[i], want.pixels[i], 1e-5) << "case at " << c.x << "," << c.y << " value " << i;
    }
}

TEST(Blur, AShrunkBlurLooksLikeTheExactGaussian) {
    // Away from the edges the shrunk blur is the Gaussian of the same
    // radius; at the edges the shrunk copy repeats an average of its edge
    // pixels where the exact one repeats the pixel itself.
    struct Case {
        double sigma, inside, whole;
    };
    for (Case c : {Case{3, 100, 100}, Case{6, 55, 38}, Case{13, 55, 35}, Case{40, 55, 29}}) {
        RGBAImage image = detailed(400, 240);
        RGBAImage shrunk = Blur::gaussian(image, c.sigma, 1000), exact = exactGaussian(image, c.sigma);
        EXPECT_GE(psnr(shrunk, exact, static_cast<int>(2 * c.sigma)), c.inside) << "sigma " << c.sigma;
        EXPECT_GE(psnr(shrunk, exact), c.whole) << "sigma " << c.sigma;
    }
}

TEST(Blur, StretchedStraightFromThePictureItLooksLikeTheBlurOfThePictureStretched) {
    // The shrunk copy taken from the picture instead of from the picture
    // resampled to the full size first: shrinking, enlarging, cropped or
    // not, sizes the copy divides and ones it does not.
    struct Case {
        int width, height, left, top, right, bottom, canvasWidth, canvasHeight;
        double sigma;
    };
    const Case cases[] = {{480, 270, 0, 0, 480, 270, 400, 225, 9},    {480, 270, 0, 0, 480, 270, 401, 227, 9},
                          {400, 300, 0, 38, 400, 263, 320, 180, 12}, {200, 120, 17, 5, 181, 97, 405, 229, 20},
                          {640, 360, 0, 0, 640, 360, 322, 181, 31}};
    for (const Case& c : cases) {
        RGBAImage picture = detailed(c.width, c.height);
        RGBAImage part = RGBAImage::blank(0, 0, c.right - c.left, c.bottom - c.top);
        for (int y = c.top; y < c.bottom; ++y)
            std::copy_n(picture.row(y) + c.left * 4, part.width * 4, part.row(y - c.top));
        RGBAImage want = Blur::gaussian(Placement::stretched(part, c.canvasWidth, c.canvasHeight), c.sigma, 1000);
        RGBAImage got = Blur::gaussianStretched(picture, c.left, c.top, c.right, c.bottom, c.canvasWidth,
                                                c.canvasHeight, c.sigma, 1000);
        ASSERT_EQ(got.width, c.canvasWidth);
        ASSERT_EQ(got.height, c.canvasHeight);
        EXPECT_GE(psnr(got, want), 40) << "sigma " << c.sigma << " onto " << c.canvasWidth << "x" << c.canvasHeight;
    }
}

TEST(Blur, SigmaIsHeldToItsLimit) {
    RGBAImage image = detailed(120, 80);
    EXPECT_EQ(Blur::gaussian(image, 50, 6).pixels, Blur::gaussian(image, 6, 1000).pixels);
    EXPECT_EQ(Blur::gaussian(image, NAN, 6).pixels, image.pixels);
    EXPECT_EQ(Blur::gaussian(image, -3, 6).pixels, image.pixels);
    float v[4];
    Blur::field(image, 50, 6).at(7, 9, v);
    EXPECT_FLOAT_EQ(v[0], Blur::gaussian(image, 6, 1000).row(9)[7 * 4]);
    // On the canvas too, whether the shrunk copy divides it (120 x 80 by 2) or not (121 x 81).
    for (int extra : {0, 1}) {
        RGBAImage held = Blur::gaussianOnCanvas(image, 120 + extra, 80 + extra, 1e12, 6);
        RGBAImage want = Blur::gaussianOnCanvas(image, 120 + extra, 80 + extra, 6, 1000);
        EXPECT_EQ(held.pixels, want.pixels) << extra;
    }
}

TEST(Blur, APlaneErodesAsTheChannelsOfAPicture) {
    RGBAImage image = detailed(90, 50);
    std::vector<float> plane(static_cast<size_t>(90) * 50);
    for (size_t i = 0; i < plane.size(); ++i) plane[i] = image.pixels[i * 4];
    for (double radius : {0.0, 0.4, 1.0, 2.6, 7.0}) {
        RGBAImage picture = Blur::eroded(image, radius);
        std::vector<float> eroded = Blur::eroded(plane, 90, 50, radius);
        for (size_t i = 0; i < plane.size(); ++i) {
            ASSERT_EQ(eroded[i], picture.pixels[i * 4]) << "radius " << radius;
        }
        if (radius >= 1) {
            EXPECT_NE(eroded, plane);
        }
    }
}
