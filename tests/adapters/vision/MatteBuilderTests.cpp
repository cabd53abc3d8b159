#include "Adapters/Vision/MatteBuilder.hpp"
#include "tests/adapters/vision/VisionFixtures.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace korvel;
namespace fs = std::filesystem;

namespace {

fs::path scratch(const std::string& name) {
    fs::path folder = fs::path(KORVEL_TEST_TMP) / "matte" / std::to_string(getpid());
    fs::create_directories(folder);
    return folder / name;
}

// The luma plane of the first frame of a mask movie, as ffmpeg decodes it.
std::vector<uint8_t> firstMask(const fs::path& movie, int width, int height) {
    auto out = korvel::testing::runCommand("ffmpeg -nostdin -v error -i '" + movie.string() +
                                   "' -frames:v 1 -f rawvideo -pix_fmt gray -");
    if (!out || out->size() != size_t(width * height)) return {};
    return {out->begin(), out->end()};
}

} // namespace

TEST(MatteBuilder, MaskMovieCoversThePersonAtThePromisedSize) {
    fs::path out = scratch("astronaut-matte.mov");
    std::vector<EngineProgress> reports;
    JobContext job([&](const EngineProgress& p) { reports.push_back(p); });
    auto built = MatteBuilder().build(VisionFixtures::path("astronaut.mp4"), MatteBuilder::Method::hybrid, 320, out,
                                      std::nullopt, job);
    EXPECT_EQ(built.width, 320);
    EXPECT_EQ(built.height, 320);
    EXPECT_EQ(built.frameCount, 50);
    EXPECT_EQ(built.durationUs, 2'000'000);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().unit, EngineProgress::Unit::frames);
    EXPECT_EQ(reports.back().done, 50);
    EXPECT_EQ(reports.back().total, 50);
    EXPECT_EQ(reports.front().done, 4);

    auto probe = korvel::testing::runCommand("ffprobe -v error -show_entries stream=codec_name,codec_tag_string,width,height,"
                                     "pix_fmt,color_range,color_space,nb_frames -of default=nw=1 '" + out.string() + "'");
    ASSERT_TRUE(probe);
    for (const char* line : {"codec_name=hevc", "codec_tag_string=hvc1", "width=320", "height=320", "color_range=pc",
                             "color_space=bt709", "nb_frames=50"}) {
        EXPECT_NE(probe->find(line), std::string::npos) << line << " in " << *probe;
    }

    auto mask = firstMask(out, 320, 320);
    ASSERT_EQ(mask.size(), 320u * 320u);
    auto at = [&](double x, double y) { return mask[size_t(int(y * 320) * 320 + int(x * 320))]; };
    // The face and the suit are inside; the sky to the top right is not.
    EXPECT_GT(at(0.5, 0.25), 200);
    EXPECT_GT(at(0.45, 0.7), 200);
    EXPECT_LT(at(0.95, 0.05), 60);
    EXPECT_GT(built.quality.meanCoverage, 0.3);
    EXPECT_LT(built.quality.meanCoverage, 0.8);
    ASSERT_TRUE(built.quality.personCoverage);
    ASSERT_TRUE(built.quality.peopleSeen);
    EXPECT_EQ(*built.quality.peopleSeen, 1.0);
    EXPECT_TRUE(built.quality.withoutPerson.empty());
    EXPECT_EQ(built.quality.greenScreen, false);
    // Nothing is left beside the movie.
    for (const auto& entry : fs::directory_iterator(out.parent_path()))
        EXPECT_EQ(entry.path().filename().string().find(".korvel-partial-"), std::string::npos);
}

TEST(MatteBuilder, FailuresLeaveNothingAtTheOutputPath) {
    struct Case {
        fs::path source;
        EngineFailure failure;
    } cases[] = {
        {MediaFixtures::folder() / "no-such-video.mp4", {-32001, "The file is not there anymore."}},
        {VisionFixtures::path("silent.m4a"), {-32602, "This file has no video track."}},
    };
    for (const auto& c : cases) {
        fs::path out = scratch("failed.mov");
        try {
            MatteBuilder().build(c.source, MatteBuilder::Method::hybrid, 320, out, std::nullopt, JobContext::silent());
            ADD_FAILURE() << c.source;
        } catch (const EngineFailure& e) {
            EXPECT_EQ(e, c.failure);
        }
        EXPECT_FALSE(fs::exists(out));
    }
}

TEST(MatteBuilder, ForegroundMethodOnATallNarrowVideo) {
    // 16 by 1024: the green-screen sample at 1080 wide would be 69120 rows;
    // it is skipped.
    fs::path out = scratch("tall.mov");
    std::vector<EngineProgress> reports;
    JobContext job([&](const EngineProgress& p) { reports.push_back(p); });
    auto built = MatteBuilder().build(VisionFixtures::path("tall.mp4"), MatteBuilder::Method::foreground, 1080, out,
                                      std::nullopt, job);
    EXPECT_EQ(built.width, 16);
    EXPECT_EQ(built.height, 1024);
    EXPECT_EQ(built.frameCount, 10);
    EXPECT_FALSE(built.quality.personCoverage); // no person grid for "foreground"
    EXPECT_EQ(built.quality.greenScreen, false);
    std::vector<int64_t> done;
    for (const auto& r : reports) done.push_back(r.done);
    EXPECT_EQ(done, (std::vector<int64_t>{4, 8, 10}));
    EXPECT_TRUE(fs::exists(out));
}

TEST(MatteBuilder, AGreenScreenIsSeen) {
    fs::path out = scratch("green.mov");
    auto built = MatteBuilder().build(VisionFixtures::path("green.mp4"), MatteBuilder::Method::hybrid, 320, out,
                                      std::nullopt, JobContext::silent());
    EXPECT_EQ(built.quality.greenScreen, true);
    ASSERT_TRUE(built.quality.peopleSeen);
    EXPECT_EQ(*built.quality.peopleSeen, 0.0);
    EXPECT_EQ(built.quality.withoutPerson, (std::vector<MatteQualityValues::Span>{{0, 1'000'000}}));
}

TEST(MatteBuilder, MethodNames) {
    EXPECT_EQ(MatteBuilder::methodNamed("hybrid"), MatteBuilder::Method::hybrid);
    EXPECT_EQ(MatteBuilder::methodNamed("foreground"), MatteBuilder::Method::foreground);
    EXPECT_FALSE(MatteBuilder::methodNamed("Hybrid"));
    EXPECT_FALSE(MatteBuilder::methodNamed(""));
}
