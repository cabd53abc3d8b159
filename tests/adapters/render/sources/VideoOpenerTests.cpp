#include "Adapters/Render/Sources/VideoOpener.hpp"
#include "Adapters/Render/Drawing/Picture.hpp"
#include "Core/Picture/Orientation.hpp"
#include "tests/adapters/render/MediaFixtures.hpp"

#include <algorithm>
#include <gtest/gtest.h>

using namespace korvel;
namespace fs = std::filesystem;
namespace fx = korvel::MediaFixtures;

namespace {

EngineFailure openFailure(const fs::path& file) {
    try {
        VideoOpener::open(file);
    } catch (const EngineFailure& f) {
        return f;
    }
    return {0, "no failure"};
}

} // namespace

// libavformat's demuxer reads every packet; the engine's own reader only the
// movie box. They must agree on every sample.
TEST(VideoOpener, StoredTablesAgreeWithTheDemuxer) {
    for (const char* fixture : {"h264.mp4", "hevc.mp4", "edit.mov", "copy.mp4", "portrait.mp4"}) {
        fs::path file = fx::path(fixture);
        VideoSource source = VideoOpener::open(file);
        ASSERT_TRUE(source.track->hasCursors) << fixture;
        auto stored = source.track->samples;
        auto demuxed = VideoOpener::readSamples(file, source.track->movie);
        ASSERT_EQ(stored.size(), demuxed.size()) << fixture;
        for (size_t i = 0; i < stored.size(); ++i) {
            const auto &a = stored[i], &b = demuxed[i];
            EXPECT_EQ(a.decodeTime, b.decodeTime) << fixture << " sample " << i;
            EXPECT_EQ(a.compositionOffset, b.compositionOffset) << fixture << " sample " << i;
            EXPECT_EQ(a.duration, b.duration) << fixture << " sample " << i;
            EXPECT_EQ(a.offset, b.offset) << fixture << " sample " << i;
            EXPECT_EQ(a.size, b.size) << fixture << " sample " << i;
            EXPECT_EQ(a.isSync, b.isSync) << fixture << " sample " << i;
        }
    }
}

TEST(VideoOpener, PresentationTimesFollowTheEdits) {
    struct Case {
        const char* fixture;
        size_t count;
        double endSeconds;
    };
    // 30 fps at the muxer's 15360 ticks per second: 512 ticks a frame. The
    // B-frame delay's edit moves the first frame to 0; the copied file's edit
    // also skips the first half second of stored samples.
    for (const Case& c : {Case{"h264.mp4", 60, 2.0}, Case{"edit.mov", 45, 1.5}, Case{"hevc.mp4", 60, 2.0}}) {
        VideoSource source = VideoOpener::open(fx::path(c.fixture));
        const PTSTable& t = source.table;
        ASSERT_EQ(t.pts.size(), c.count) << c.fixture;
        int64_t step = t.timescale / 30;
        for (size_t i = 0; i < t.pts.size(); ++i) ASSERT_EQ(t.pts[i], static_cast<int64_t>(i) * step) << c.fixture << " " << i;
        EXPECT_EQ(t.endTicks, static_cast<int64_t>(c.endSeconds * t.timescale)) << c.fixture;
        EXPECT_EQ(source.track->sampleOfEntry.size(), c.count);
    }
    VideoSource skipped = VideoOpener::open(fx::path("edit.mov"));
    // The first shown frame is stored fifteen samples in.
    EXPECT_EQ(skipped.track->samples[skipped.track->sampleOfEntry[0]].presentationTime(),
              skipped.track->samples[0].presentationTime() + 15 * 512);
}

TEST(VideoOpener, FilesWithoutUsableVideoAreRefused) {
    EXPECT_EQ(openFailure(fx::path("tone.wav")), (EngineFailure{-32002, "tone.wav has no video that can be opened."}));
    EXPECT_EQ(openFailure(fx::path("notes.txt")), (EngineFailure{-32002, "notes.txt is in a format that can't be opened."}));
    EXPECT_EQ(openFailure(fx::path("cut.mp4")),
              (EngineFailure{-32002, "cut.mp4 is cut short or damaged, so its end can't be read."}));
}

TEST(VideoOpener, OrientationComesFromExactTurnsAndMirrors) {
    struct Case {
        AffineTransform transform;
        int orientation;
    };
    std::vector<Case> cases{
        {{0, 1, -1, 0, 1080, 0}, 6}, {{0, 1, -1, 0, 0, 0}, 6},   {{0, -1, 1, 0, 0, 1920}, 8},
        {{-1, 0, 0, -1, 0, 0}, 3},   {{1, 0, 0, 1, 0, 0}, 1},    {{0, 1.0000001, -1, 0, 0, 0}, 1},
        {{-1, 0, 0, 1, 1920, 0}, 2}, {{1, 0, 0, -1, 0, 1080}, 4}, {{0, 1, 1, 0, 0, 0}, 5},
        {{0, -1, -1, 0, 1080, 1920}, 7}, {{-1.0000001, 0, 0, 1, 0, 0}, 1}, {{2, 0, 0, 2, 0, 0}, 1},
    };
    for (const auto& c : cases) EXPECT_EQ(Rotation::orientation(c.transform), c.orientation);
    EXPECT_EQ((AffineTransform{0, 1, -1, 0, 0, 0}.appliedTo(1920, 1080)), (RenderSize{1080, 1920}));
    EXPECT_EQ((AffineTransform{}.appliedTo(1919.5, 1079.4)), (RenderSize{1920, 1079}));
}

// Each stored pixel lands where the transform maps its centre, shifted onto
// the positive quadrant, in the float and in the 8-bit picture alike.
TEST(VideoOpener, UprightPicturesFollowTheTransform) {
    const int w = 3, h = 2;
    for (AffineTransform t : std::vector<AffineTransform>{{1, 0, 0, 1}, {-1, 0, 0, 1}, {-1, 0, 0, -1}, {1, 0, 0, -1},
                                                          {0, 1, 1, 0}, {0, 1, -1, 0}, {0, -1, -1, 0}, {0, -1, 1, 0}}) {
        const int code = Rotation::orientation(t);
        RGBAImage stored = RGBAImage::blank(0, 0, w, h);
        Picture bytes{w, h, 1, std::vector<uint8_t>(w * h)};
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                stored.row(y)[x * 4] = static_cast<float>(10 * y + x);
                bytes.pixels[static_cast<size_t>(y * w + x)] = static_cast<uint8_t>(10 * y + x);
            }
        RGBAImage upright = Orientation::upright(stored, code);
        Picture oriented = bytes.oriented(code);
        RenderSize size = t.appliedTo(w, h);
        ASSERT_EQ(upright.width, size.width) << code;
        ASSERT_EQ(upright.height, size.height) << code;
        ASSERT_EQ(oriented.width, size.width) << code;
        ASSERT_EQ(oriented.height, size.height) << code;
        const double left = std::min({0.0, t.a * w, t.c * h, t.a * w + t.c * h});
        const double top = std::min({0.0, t.b * w, t.d * h, t.b * w + t.d * h});
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const double cx = x + 0.5, cy = y + 0.5;
                const auto ux = static_cast<int>(t.a * cx + t.c * cy - left);
                const auto uy = static_cast<int>(t.b * cx + t.d * cy - top);
                EXPECT_EQ(upright.row(uy)[ux * 4], static_cast<float>(10 * y + x)) << code << " at " << x << "," << y;
                EXPECT_EQ(oriented.pixels[static_cast<size_t>(uy * oriented.width + ux)], 10 * y + x) << code;
            }
    }
}
