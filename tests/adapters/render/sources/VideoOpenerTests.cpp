#include "Adapters/Render/Sources/VideoOpener.hpp"
#include "tests/adapters/render/MediaFixtures.hpp"

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

TEST(VideoOpener, OrientationComesFromExactQuarterAndHalfTurns) {
    struct Case {
        AffineTransform transform;
        int orientation;
    };
    std::vector<Case> cases{
        {{0, 1, -1, 0, 1080, 0}, 6}, {{0, 1, -1, 0, 0, 0}, 6},   {{0, -1, 1, 0, 0, 1920}, 8},
        {{-1, 0, 0, -1, 0, 0}, 3},   {{1, 0, 0, 1, 0, 0}, 1},    {{0, 1.0000001, -1, 0, 0, 0}, 1},
        {{-1, 0, 0, 1, 0, 0}, 1}, // a mirror is not a turn
    };
    for (const auto& c : cases) EXPECT_EQ(Rotation::orientation(c.transform), c.orientation);
    EXPECT_EQ((AffineTransform{0, 1, -1, 0, 0, 0}.appliedTo(1920, 1080)), (RenderSize{1080, 1920}));
    EXPECT_EQ((AffineTransform{}.appliedTo(1919.5, 1079.4)), (RenderSize{1920, 1079}));
}
