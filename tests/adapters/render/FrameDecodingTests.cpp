#include "Adapters/Render/Drawing/GraphScene.hpp"
#include "Adapters/Render/Sources/StillPictures.hpp"
#include "Adapters/Render/Sources/VideoFrames.hpp"
#include "Adapters/Render/Sources/VideoOpener.hpp"
#include "Core/Picture/Color/ColorMath.hpp"
#include "MediaFixtures.hpp"
#include "tests/core/plan/PlanFixtures.hpp"
#include "tests/support/CounterVideo.hpp"
#include "tests/support/Shell.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace korvel;
namespace fx = korvel::MediaFixtures;

namespace {
// The decode-order sample that shows a presentation time of the table.
size_t sampleShowing(const VideoSource& source, int64_t ptsTicks) {
    const auto& pts = source.table.pts;
    size_t entry = static_cast<size_t>(std::lower_bound(pts.begin(), pts.end(), ptsTicks) - pts.begin());
    return source.track->sampleOfEntry.at(std::min(entry, pts.size() - 1));
}

// The index a counter frame shows (see CounterVideo), read from a grey RGB
// picture; -1 when its levels name none.
int counterIndex(const Picture& p) {
    auto level = [&](int64_t x, int64_t y) {
        double total = 0;
        for (int64_t dy = -1; dy <= 1; ++dy)
            for (int64_t dx = -1; dx <= 1; ++dx) total += p.pixels[static_cast<size_t>(((y + dy) * p.width + x + dx) * p.bands)];
        return total / 9 / 8;
    };
    double low = level(p.width / 2, p.height / 2), high = level(p.width / 10, p.height / 10);
    if (std::fabs(low - std::round(low)) > 0.3 || std::fabs(high - std::round(high)) > 0.3) return -1;
    return static_cast<int>(std::lround(low) + 32 * std::lround(high));
}
} // namespace

// Pictures nothing refers to are skipped on the way to a wanted one, and a
// large picture is decoded on frame threads: every sample must still give
// the frame it shows, and the first frame's bitstream still tells its colour.
TEST(FrameDecoding, EverySampleGivesItsOwnFrameWhenUnreferencedPicturesAreSkipped) {
    struct Case {
        const char* name;
        const char* encode;
        bool hlgInBitstream;
    };
    const Case cases[] = {
        {"counter-h264-b.mp4", "-c:v libx264 -qp 4 -pix_fmt yuv420p -g 300 -bf 3 -x264-params b-pyramid=none:b-adapt=0:scenecut=0", false},
        {"counter-hevc.mp4",
         "-c:v libx265 -preset ultrafast -pix_fmt yuv420p -tag:v hvc1 "
         "-x265-params log-level=none:qp=4:keyint=300:bframes=3:b-adapt=0:colorprim=bt2020:transfer=arib-std-b67:colormatrix=bt2020nc",
         true},
    };
    for (const Case& c : cases) {
        auto url = fx::folder() / c.name;
        // Painted small (the painting is slow), coded at 720p.
        ASSERT_TRUE(korvel::testing::CounterVideo::make(url, "color=black:s=160x90:r=30:d=1.5", c.encode,
                                                        "scale=1280:720:flags=neighbor"))
            << c.name;
        VideoSource video = VideoOpener::open(url);
        ASSERT_EQ(video.table.count(), 45) << c.name;
        EXPECT_EQ(video.color && video.color->hdr, c.hlgInBitstream) << c.name;
        size_t reordered = 0;
        for (size_t i = 0; i < video.track->samples.size(); ++i) {
            if (video.track->sampleOfEntry[i] != i) ++reordered;
        }
        EXPECT_GT(reordered, 0u) << c.name << ": the fixture needs pictures out of order";
        for (int entry : {44, 0, 1, 2, 3, 17, 30, 43}) {
            Picture p = VideoFrames::picture(url, *video.track, video.track->sampleOfEntry[entry], {160, 90});
            EXPECT_EQ(counterIndex(p), entry) << c.name;
        }
    }
}

TEST(FrameDecoding, APlainFrameSurvivesTheWorkingSpaceWithinACodeValue) {
    auto url = fx::path("copy.mp4");
    VideoSource video = VideoOpener::open(url);
    RenderPlan plan = fixtures::plan(1000000);
    plan.canvas.width = 320;
    plan.canvas.height = 240;
    plan.segments = {fixtures::segment("v", 0, 0, 1000000)};
    RenderInputs inputs;
    inputs.plan = plan;
    inputs.size = {320, 240};
    inputs.videos.emplace("v", video);
    inputs.timeline = ResolvedTimeline(plan, {{"v", video.table}}, {});
    LayerTracks tracks;
    tracks.clips[0] = 1;
    GraphScene scene(inputs, tracks);
    scene.preflight();
    VideoFrames::Reader reader(url, video.track, video.color, DynamicRange::sdr, VideoFrames::FrameValues::picture);
    for (int64_t frame : {0, 1, 2, 7, 12, 3}) { // forward, across a sync sample, then back
        auto ref = inputs.timeline.sourceFrame(frame);
        ASSERT_TRUE(ref);
        size_t sample = sampleShowing(video, ref->ptsTicks);
        FrameSource source = [&](int32_t track) { return track == 1 ? reader.frame(sample) : nullptr; };
        ComposedRange range{{frame, frame + 1}, 0, false, {}, false};
        RGBAImage picture = scene.picture(frame, range, source);
        Picture direct = VideoFrames::picture(url, *video.track, sample, {320, 240});
        double worst = 0, total = 0;
        for (int64_t i = 0; i < 320 * 240; ++i) {
            for (int c = 0; c < 3; ++c) {
                float v = std::round(std::clamp(ColorMath::encode709(picture.pixels[static_cast<size_t>(i) * 4 + c]), 0.0f, 1.0f) * 255);
                double d = std::fabs(v - direct.pixels[static_cast<size_t>(i) * 3 + c]);
                worst = std::max(worst, d);
                total += d;
            }
        }
        EXPECT_LE(worst, 1.0) << "frame " << frame;
        EXPECT_LT(total / (320 * 240 * 3), 0.5) << "frame " << frame;
    }
}

TEST(FrameDecoding, AnHLGGreyPreviewedInStandardRangeKeepsItsLevel) {
    auto url = fx::path("hlg-grey.mp4");
    VideoSource video = VideoOpener::open(url);
    ASSERT_TRUE(video.color);
    EXPECT_TRUE(video.color->hdr);
    VideoFrames::Reader reader(url, video.track, video.color, DynamicRange::sdr, VideoFrames::FrameValues::picture);
    auto frame = reader.frame(0);
    // 10-bit code 504 of a video-range signal: E' = 440 / 876. The HLG
    // inverse OETF and the 1000 cd/m2 system gamma put it at about 51 cd/m2,
    // below the knee of the BT.2390 curve (which leaves it), and 203 cd/m2 is 1.0.
    double signal = 440.0 / 876.0;
    double scene = (std::exp((signal - 0.55991073) / 0.17883277) + 0.28466892) / 12;
    double nits = 1000 * std::pow(scene, 1.2);
    ASSERT_LT(nits, 60);
    double expected = nits / 203;
    const float* middle = frame->row(32) + 32 * 4;
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(middle[c], expected, expected * 0.015) << c;
    // Kept as HLG, the same picture is no darker: nothing was mapped down.
    VideoFrames::Reader hdr(url, video.track, video.color, DynamicRange::keepHdr, VideoFrames::FrameValues::picture);
    EXPECT_NEAR(hdr.frame(0)->row(32)[32 * 4], middle[0], 1e-4);
}

// A frame read small is resized in its own coding before it is converted:
// its colour is the one the full frame has, the untagged one included,
// whose matrix follows the size it was coded at.
TEST(FrameDecoding, AFrameReadSmallHasTheColourOfTheWholeFrame) {
    auto untagged = fx::folder() / "untagged-720p.mp4";
    ASSERT_TRUE(korvel::testing::runCommand(
        "ffmpeg -nostdin -v error -y -f lavfi -i color=c=0x3080c0:s=1280x720:r=25:d=0.2 -c:v libx264 -qp 0 "
        "-pix_fmt yuv420p '" + untagged.string() + "'"));
    for (const std::filesystem::path& url : {fx::path("hlg-grey.mp4"), untagged}) {
        VideoSource video = VideoOpener::open(url);
        VideoFrames::Reader reader(url, video.track, video.color, DynamicRange::sdr, VideoFrames::FrameValues::picture);
        auto whole = reader.frame(0);
        RGBAImage small = VideoFrames::image(url, *video.track, 0, {whole->width / 4, whole->height / 4}, video.color,
                                             DynamicRange::sdr);
        ASSERT_EQ(small.width, whole->width / 4);
        const float* middle = whole->row(whole->height / 2) + whole->width / 2 * 4;
        const float* shrunk = small.row(small.height / 2) + small.width / 2 * 4;
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(shrunk[c], middle[c], 0.004 + middle[c] * 0.01) << url << " " << c;
    }
}

TEST(FrameDecoding, MasksKeepTheirCodedValues) {
    auto url = fx::path("hlg-grey.mp4");
    VideoSource video = VideoOpener::open(url);
    VideoFrames::Reader reader(url, video.track, video.color, DynamicRange::sdr, VideoFrames::FrameValues::mask);
    EXPECT_NEAR(reader.frame(0)->row(10)[10 * 4], 440.0 / 876.0, 0.003);
}

TEST(FrameDecoding, StillsAreBoundedToTwiceTheCanvas) {
    auto still = StillPictures::decoded(fx::path("turned.jpg"), 100);
    ASSERT_TRUE(still);
    // 400 x 300 stored, turned a quarter: upright 300 x 400, then held to 200 on the long edge.
    EXPECT_EQ(still->height, 200);
    EXPECT_EQ(still->width, 150);
    EXPECT_FALSE(StillPictures::decoded(fx::path("notes.txt"), 100));
}
