#include "Adapters/Render/ThumbnailService.hpp"
#include "MediaFixtures.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

using namespace korvel;
namespace fs = std::filesystem;
namespace fx = korvel::MediaFixtures;

namespace {

// Tests that look for leftovers get a folder no other test writes in.
const char* const failureFolder = "thumbnail-failures";

fs::path outFolder(const char* name = "thumbnails") {
    fs::path f = fx::folder() / name;
    fs::create_directories(f);
    return f;
}

EngineSource source(const std::string& fixture) {
    fs::path file = fx::path(fixture);
    return {file.string(), fx::sha256sum(file)};
}

ThumbnailParams params(const std::string& fixture, int64_t atUs, int64_t edge, const std::string& out,
                       const char* folder = "thumbnails") {
    return {source(fixture), atUs, edge, (outFolder(folder) / out).string()};
}

std::string head(const fs::path& file, size_t n) {
    std::ifstream in(file, std::ios::binary);
    std::string bytes(n, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(n));
    return bytes;
}

EngineFailure failure(const ThumbnailParams& p) {
    try {
        ThumbnailService().thumbnail(p);
    } catch (const EngineFailure& f) {
        return f;
    }
    return {0, "no failure"};
}

bool leftovers(const fs::path& folder) {
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string().find(".korvel-partial-") != std::string::npos) return true;
    return false;
}

// Mean absolute difference of two pictures of one size, 0..255.
double difference(const fs::path& a, const fs::path& b) {
    auto x = vips::VImage::new_from_file(a.c_str()).cast(VIPS_FORMAT_FLOAT);
    auto y = vips::VImage::new_from_file(b.c_str()).cast(VIPS_FORMAT_FLOAT);
    return (x - y).abs().avg();
}

} // namespace

TEST(ThumbnailService, TakesTheFrameOnScreenAtTheFittedSize) {
    auto p = params("hevc.mp4", 510'000, 160, "frame.png");
    ThumbnailResult r = ThumbnailService().thumbnail(p);
    EXPECT_EQ(r, (ThumbnailResult{p.outPath, 160, 120, 500'000})); // frame 15 is on screen from 500 ms
    // The picture is that frame: nearer ffmpeg's frame 15 than its frame 14.
    fs::path file = fx::path("hevc.mp4");
    for (int frame : {14, 15}) {
        fs::path ref = outFolder() / ("ffmpeg-" + std::to_string(frame) + ".png");
        ASSERT_TRUE(fx::runCommand("ffmpeg -nostdin -v error -y -i '" + file.string() + "' -vf 'select=eq(n\\," +
                                   std::to_string(frame) + "),scale=160:120:flags=lanczos:in_color_matrix=bt709,format=rgb24' -frames:v 1 '" + ref.string() + "'"));
    }
    double same = difference(p.outPath, outFolder() / "ffmpeg-15.png");
    double other = difference(p.outPath, outFolder() / "ffmpeg-14.png");
    EXPECT_LT(same, 6.0); // resampling and rounding differ a little
    EXPECT_LT(same * 2, other) << same << " vs " << other;
}

TEST(ThumbnailService, APortraitVideoGivesAnUprightPortraitPicture) {
    auto p = params("portrait.mp4", 0, 160, "portrait.png");
    ThumbnailResult r = ThumbnailService().thumbnail(p);
    EXPECT_EQ(r.width, 120);
    EXPECT_EQ(r.height, 160);
    // The stored top-left red corner turns a quarter clockwise: top right.
    auto image = vips::VImage::new_from_file(p.outPath.c_str());
    auto topRight = image.getpoint(115, 5), topLeft = image.getpoint(5, 5);
    EXPECT_GT(topRight[0], 200);
    EXPECT_LT(topRight[2], 60);
    EXPECT_LT(topLeft[0], 60);
    EXPECT_GT(topLeft[2], 200);
}

TEST(ThumbnailService, StillsIgnoreTheTimeAndKeepTheirOrientation) {
    struct Case {
        const char* fixture;
        int64_t edge;
        int64_t width, height;
    };
    for (const Case& c : {Case{"still.png", 32, 32, 24}, Case{"turned.jpg", 100, 75, 100}, Case{"still.heic", 80, 80, 60},
                          Case{"still.png", 1000, 64, 48}}) {
        auto p = params(c.fixture, 5'000'000, c.edge, std::string("still-") + c.fixture + ".png");
        EXPECT_EQ(ThumbnailService().thumbnail(p), (ThumbnailResult{p.outPath, c.width, c.height, 0})) << c.fixture;
    }
}

TEST(ThumbnailService, TheExtensionChoosesTheFileType) {
    struct Case {
        const char* out;
        std::string magic;
        size_t at;
    };
    for (const Case& c : {Case{"kind.jpg", "\xff\xd8\xff", 0}, Case{"kind.JPG", "\xff\xd8\xff", 0},
                          Case{"kind.jpeg", "\xff\xd8\xff", 0}, Case{"kind.png", "\x89PNG", 0},
                          Case{"kind.heic", "ftypheic", 4}}) {
        auto p = params("hevc.mp4", 0, 64, c.out);
        ThumbnailService().thumbnail(p);
        EXPECT_EQ(head(p.outPath, c.at + c.magic.size()).substr(c.at), c.magic) << c.out;
    }
}

TEST(ThumbnailService, ALargerBoundKeepsTheDisplaySize) {
    auto p = params("hevc.mp4", 0, 4000, "large.jpg");
    ThumbnailResult r = ThumbnailService().thumbnail(p);
    EXPECT_EQ(r.width, 320);
    EXPECT_EQ(r.height, 240);
}

TEST(ThumbnailService, OnAnyFailureNothingAppearsAtTheOutputPath) {
    auto gif = params("hevc.mp4", 0, 64, "nothing.gif", failureFolder);
    auto changed = params("hevc.mp4", 0, 64, "nothing-changed.jpg", failureFolder);
    changed.source.contentHash = std::string(64, '0');
    // The final path is a folder: the picture is written, the commit fails.
    auto onFolder = params("hevc.mp4", 0, 64, "a-folder.jpg", failureFolder);
    fs::create_directories(onFolder.outPath);
    auto separator = params("hevc.mp4", 0, 64, "", failureFolder);
    separator.outPath = (outFolder(failureFolder) / "ends-in-a-separator" / "").string();
    struct Case {
        ThumbnailParams p;
        int code;
        std::string message;
    };
    std::vector<Case> cases{
        {gif, -32602, "outPath must end in .jpg, .png or .heic, got nothing.gif."},
        {changed, -32001, "hevc.mp4 changed since it was imported."},
        {onFolder, -32003, "a-folder.jpg could not be written."},
        {separator, -32602, "outPath must end in .jpg, .png or .heic, got ends-in-a-separator."},
    };
    for (const auto& c : cases) {
        EngineFailure f = failure(c.p);
        EXPECT_EQ(f, (EngineFailure{c.code, c.message}));
        EXPECT_FALSE(fs::is_regular_file(c.p.outPath)) << c.p.outPath;
    }
    EXPECT_FALSE(leftovers(outFolder(failureFolder)));
}

// A cancel that lands before the picture is renamed into place leaves
// nothing there; the request then answers "Cancelled.".
TEST(ThumbnailService, ACancelBeforeTheRenameLeavesNothing) {
    const char* folder = "thumbnail-cancelled";
    for (const char* fixture : {"still.png", "hevc.mp4"}) {
        auto p = params(fixture, 0, 64, std::string("cancelled-") + fixture + ".jpg", folder);
        fs::remove(p.outPath);
        std::stop_source cancelled;
        cancelled.request_stop();
        Task::Scope scope(cancelled.get_token());
        EXPECT_THROW(ThumbnailService().thumbnail(p), Cancelled) << fixture;
        EXPECT_FALSE(fs::exists(p.outPath)) << fixture;
    }
    EXPECT_FALSE(leftovers(outFolder(folder)));
}
