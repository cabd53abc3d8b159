#include "Adapters/Vision/MaskCompositing.hpp"
#include "Adapters/Vision/MaskWriter.hpp"
#include "Core/Jobs.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <filesystem>

using namespace korvel;

TEST(MaskCompositing, RadiiFollowThePicturesWidth) {
    auto r = MaskCompositing::radii(1080);
    EXPECT_EQ(r.inner, 6);
    EXPECT_EQ(r.outer, 5);
    EXPECT_EQ(r.zone, 20);
    auto twice = MaskCompositing::radii(2160);
    EXPECT_EQ(twice.inner, 12);
    EXPECT_EQ(twice.outer, 10);
    EXPECT_EQ(twice.zone, 40);
}

TEST(MaskCompositing, MethodsAndMissingMasks) {
    cv::Mat guide(64, 64, CV_8UC4, cv::Scalar(90, 90, 90, 255));
    cv::Mat person(32, 32, CV_8U, cv::Scalar(255));
    cv::Mat foreground(32, 32, CV_8U, cv::Scalar(0));
    cv::rectangle(foreground, cv::Rect(8, 8, 16, 16), cv::Scalar(255), cv::FILLED);
    // Foreground ignores the person mask entirely.
    cv::Mat f = MaskCompositing::combine({person, foreground}, guide, MaskCompositing::Method::foreground, {64, 64});
    EXPECT_EQ(f.size(), cv::Size(64, 64));
    EXPECT_EQ(f.at<uint8_t>(2, 2), 0);
    EXPECT_EQ(f.at<uint8_t>(32, 32), 255);
    // Hybrid with a person mask but no foreground mask is all black.
    cv::Mat black = MaskCompositing::combine({person, {}}, guide, MaskCompositing::Method::hybrid, {64, 64});
    EXPECT_EQ(cv::countNonZero(black), 0);
    // Nothing outside the widened foreground survives; its core is always in.
    cv::Mat h = MaskCompositing::combine({person, foreground}, guide, MaskCompositing::Method::hybrid, {64, 64});
    EXPECT_EQ(h.at<uint8_t>(2, 2), 0);
    EXPECT_EQ(h.at<uint8_t>(32, 32), 255);
}

TEST(MaskCompositing, SampledGrids) {
    cv::Mat mask(60, 100, CV_8U, cv::Scalar(0));
    mask.at<uint8_t>(4, 8) = 200;
    auto grid = MaskCompositing::sampled(mask, 100, 60);
    ASSERT_EQ(grid.size(), 25u * 15u);
    EXPECT_EQ(grid[1 * 25 + 2], 200);
    EXPECT_TRUE(MaskCompositing::sampled(cv::Mat(3, 7, CV_8U, cv::Scalar(1)), 7, 3).empty());
    EXPECT_TRUE(MaskCompositing::sampled(cv::Mat(3, 7, CV_8UC4), 7, 3).empty());
    EXPECT_TRUE(MaskCompositing::sampled(mask, 0, 60).empty());
}

TEST(MaskWriter, AFrameOfAnotherSizeIsRefused) {
    auto folder = std::filesystem::path(KORVEL_TEST_TMP) / "matte" / std::to_string(getpid());
    std::filesystem::create_directories(folder);
    MaskWriter writer(folder / "sizes.mov", 640, 362, 25);
    std::vector<uint8_t> bytes(640 * 360);
    try {
        writer.append({640, 360, bytes}, 0);
        ADD_FAILURE();
    } catch (const EngineFailure& e) {
        EXPECT_EQ(e, EngineFailure(-32603, "A mask frame came at 640x360 for a mask file at 640x362."));
    }
    writer.cancel();
    EXPECT_THROW(MaskWriter(folder / "odd.mov", 641, 360, 25), EngineFailure);
}

// The sizes the writer refuses up front are the ones the HEVC encoder
// refuses: every accepted size opens a real encoder.
TEST(MaskWriter, RefusesTheSizesTheEncoderCannotMake) {
    auto folder = std::filesystem::path(KORVEL_TEST_TMP) / "matte-sizes" / std::to_string(getpid());
    std::filesystem::create_directories(folder);
    struct Case {
        int64_t width, height;
        bool writable;
    };
    const Case cases[] = {
        {16, 16, true},     {4096, 16, true},   {16, 4096, true},    {16384, 32, true},   {32, 16384, true},
        {640, 362, true},   {2, 2, false},      {4, 2, false},       {14, 16, false},     {16, 14, false},
        {16384, 16, false}, {4210, 30, false},  {16386, 64, false},  {641, 360, false},   {0, 0, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MaskWriter::canWrite(c.width, c.height), c.writable) << c.width << "x" << c.height;
        const auto file = folder / (std::to_string(c.width) + "x" + std::to_string(c.height) + ".mov");
        try {
            MaskWriter writer(file, c.width, c.height, 25);
            EXPECT_TRUE(c.writable) << c.width << "x" << c.height;
            writer.cancel();
        } catch (const EngineFailure& e) {
            EXPECT_FALSE(c.writable) << c.width << "x" << c.height << ": " << e.message;
            EXPECT_EQ(e, EngineFailure::invalidParams("A mask of " + std::to_string(c.width) + "x" +
                                                      std::to_string(c.height) + " can't be written."));
        }
    }
}

TEST(MaskCompositing, GreenScreenSamplesStayBounded) {
    EXPECT_EQ(MaskCompositing::chromaSampleSize({1920, 1080}), cv::Size(1080, 608));
    EXPECT_EQ(MaskCompositing::chromaSampleSize({1080, 1920}), cv::Size(1080, 1920));
    // Taller than 1080 by 1920 at 1080 wide: fitted into it, still sampled.
    EXPECT_EQ(MaskCompositing::chromaSampleSize({360, 1280}), cv::Size(540, 1920));
    EXPECT_EQ(MaskCompositing::chromaSampleSize({16, 1024}), cv::Size(30, 1920)); // not 1080 by 69120
    EXPECT_EQ(MaskCompositing::chromaSampleSize({10000, 2}), cv::Size(1080, 1));
    EXPECT_FALSE(MaskCompositing::chromaSampleSize({0, 10}));
}
