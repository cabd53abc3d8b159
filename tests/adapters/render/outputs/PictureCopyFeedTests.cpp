#include "Adapters/Render/Outputs/PictureCopyFeed.hpp"
#include "Adapters/Render/Sources/VideoOpener.hpp"
#include "tests/adapters/render/MediaFixtures.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

using namespace korvel;
namespace fs = std::filesystem;
namespace fx = korvel::MediaFixtures;

namespace {

fs::path output(const std::string& name) {
    fs::path f = fx::folder() / "exports";
    fs::create_directories(f);
    return f / name;
}

std::vector<std::string> md5s(const std::string& arguments) {
    auto out = fx::runCommand("ffmpeg -nostdin -v error " + arguments + " -f framemd5 -");
    EXPECT_TRUE(out) << arguments;
    std::vector<std::string> lines;
    std::istringstream in(out.value_or(""));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        size_t hash = line.rfind(',');
        lines.push_back(line.substr(line.rfind(',', hash - 1) + 1));
    }
    return lines;
}

struct Exported {
    int64_t count = 0;
    std::vector<std::pair<int64_t, int64_t>> progress;
};

// Unplanned, the file is left to the muxer's own second pass.
Exported exportCopy(const VideoSource& video, const fs::path& out, bool planned = true) {
    MovieWriter writer(out);
    writer.movieTimescale = video.table.timescale;
    PictureCopyFeed feed(video, video.track->firstDescription(), writer);
    if (!planned) writer.plan({});
    EXPECT_NO_THROW(writer.startWriting());
    Exported e;
    StopFlag stop;
    e.count = feed.run(writer, stop, video.table.count(), [&](int64_t done, int64_t total) {
        e.progress.emplace_back(done, total);
    });
    EXPECT_NO_THROW(writer.finishWriting());
    return e;
}

// Bytes this process has handed to write calls so far.
int64_t bytesWritten() {
    std::ifstream in("/proc/self/io");
    for (std::string key; in >> key;) {
        int64_t value = 0;
        in >> value;
        if (key == "wchar:") return value;
    }
    return -1;
}

std::string bytesOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

TEST(PictureCopyFeed, AnExportCarriesTheSourcesSamplesUnchanged) {
    for (const char* fixture : {"copy.mp4", "hevc.mp4"}) {
        fs::path source = fx::path(fixture);
        VideoSource video = VideoOpener::open(source);
        fs::path out = output(std::string("export-") + fixture);
        Exported e = exportCopy(video, out);
        EXPECT_EQ(e.count, video.table.count()) << fixture;
        EXPECT_EQ(md5s("-i '" + out.string() + "' -c copy"), md5s("-i '" + source.string() + "' -map 0:v -c copy"))
            << fixture;
        EXPECT_EQ(md5s("-i '" + out.string() + "' -fps_mode passthrough"),
                  md5s("-i '" + source.string() + "' -map 0:v -fps_mode passthrough"))
            << fixture;
        auto times = [](const fs::path& f) {
            return fx::runCommand("ffprobe -v error -select_streams v -show_entries packet=pts,dts,duration:stream=time_base "
                                  "-of csv=p=0 '" + f.string() + "'");
        };
        EXPECT_EQ(times(out), times(source)) << fixture;
        auto tag = fx::runCommand("ffprobe -v error -show_entries stream=codec_tag_string -of csv=p=0 '" + out.string() + "'");
        EXPECT_EQ(tag.value_or(""), std::string(video.track->firstDescription()->format) + "\n");
    }
}

// Laid out in advance, a copy writes each byte once, and the file is the one
// the muxer's second pass makes when it moves the movie box to the front.
TEST(PictureCopyFeed, ACopyIsWrittenOnceAsTheMuxerWouldLayItOut) {
    for (const char* fixture : {"copy.mp4", "hevc.mp4", "portrait.mp4", "edit.mov"}) {
        VideoSource video = VideoOpener::open(fx::path(fixture));
        fs::path laid = output(std::string("laid-") + fixture + ".mp4");
        fs::path moved = output(std::string("moved-") + fixture + ".mp4");
        int64_t before = bytesWritten();
        ASSERT_GE(before, 0);
        exportCopy(video, laid);
        int64_t written = bytesWritten() - before;
        exportCopy(video, moved, false);
        auto size = static_cast<int64_t>(fs::file_size(laid));
        EXPECT_LT(written, size + size / 8) << fixture;
        EXPECT_GE(written, size) << fixture;
        EXPECT_TRUE(bytesOf(laid) == bytesOf(moved)) << fixture;
    }
}

TEST(PictureCopyFeed, AFullDiskUnderALaidOutCopyReachesTheClientInItsWords) {
    VideoSource video = VideoOpener::open(fx::path("copy.mp4"));
    std::optional<EngineFailure> failure;
    try {
        MovieWriter writer("/dev/full");
        PictureCopyFeed feed(video, video.track->firstDescription(), writer);
        writer.startWriting();
        StopFlag stop;
        feed.run(writer, stop, video.table.count(), {});
        writer.finishWriting();
    } catch (const EngineFailure& f) {
        failure = f;
    }
    ASSERT_TRUE(failure);
    EXPECT_EQ(*failure, (EngineFailure{-32004, "There isn't enough room on the disk for full."}));
}

TEST(PictureCopyFeed, ProgressEveryThirtySamplesAndOnceAtTheEnd) {
    VideoSource video = VideoOpener::open(fx::path("copy.mp4")); // 120 frames
    Exported e = exportCopy(video, output("progress.mp4"));
    EXPECT_EQ(e.progress, (std::vector<std::pair<int64_t, int64_t>>{{30, 120}, {60, 120}, {90, 120}, {120, 120}, {120, 120}}));
}

TEST(PictureCopyFeed, TheTurnOfThePictureIsKept) {
    VideoSource video = VideoOpener::open(fx::path("portrait.mp4"));
    fs::path out = output("portrait.mp4");
    exportCopy(video, out);
    EXPECT_EQ(VideoOpener::open(out).preferredTransform, video.preferredTransform);
}

TEST(PictureCopyFeed, ARaisedStopFlagCancels) {
    VideoSource video = VideoOpener::open(fx::path("copy.mp4"));
    MovieWriter writer(output("stopped.mp4"));
    PictureCopyFeed feed(video, video.track->firstDescription(), writer);
    ASSERT_NO_THROW(writer.startWriting());
    StopFlag stop;
    stop.stop();
    EXPECT_THROW(feed.run(writer, stop, 120, {}), Cancelled);
    writer.cancelWriting();
}

// The stop flag stays down: the cancelled writer alone must end the feed.
TEST(PictureCopyFeed, ACancelledWriterEndsTheFeedAtOnce) {
    VideoSource video = VideoOpener::open(fx::path("copy.mp4"));
    MovieWriter writer(output("cancelled.mp4"));
    PictureCopyFeed feed(video, video.track->firstDescription(), writer);
    ASSERT_NO_THROW(writer.startWriting());
    writer.cancelWriting();
    StopFlag stop;
    int64_t reported = 0;
    EXPECT_THROW(feed.run(writer, stop, 120, [&](int64_t done, int64_t) { reported = done; }), Cancelled);
    EXPECT_EQ(reported, 0);
    EXPECT_THROW(writer.finishWriting(), Cancelled);
}

TEST(PictureCopyFeed, FactsForTheCopyRule) {
    VideoSource video = VideoOpener::open(fx::path("copy.mp4"));
    PictureCopy::Source f = PictureCopyFeed::facts(video);
    EXPECT_EQ(f.displayWidth, 320);
    EXPECT_EQ(f.displayHeight, 240);
    EXPECT_EQ(f.firstPtsTicks, 0);
    EXPECT_EQ(f.endTicks, 4 * 15360);
    EXPECT_EQ(f.timescale, 15360);
    EXPECT_FALSE(f.isHDR);
    EXPECT_TRUE(f.isDeliverable);
    EXPECT_TRUE(f.timesWritable);
    double bytes = 0;
    for (const auto& s : video.track->samples) bytes += s.size;
    EXPECT_NEAR(f.bitsPerSecond, bytes * 8 / 4, 1.0);

    EXPECT_TRUE(PictureCopyFeed::facts(VideoOpener::open(fx::path("hevc.mp4"))).isDeliverable);
    EXPECT_EQ(PictureCopyFeed::deliverable().count("hev1"), 0u);
    EXPECT_EQ(PictureCopyFeed::deliverable().count("avc3"), 0u);
}

// Several megabytes of pictures between sound chunks: samples are read in
// runs, broken by the sound and by the run's size limit.
TEST(PictureCopyFeed, SamplesReadInRunsComeOutAsStored) {
    fs::path source = output("runs-source.mp4");
    ASSERT_TRUE(fx::runCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=640x360:rate=30:duration=4 "
                               "-f lavfi -i sine=duration=4 -vf noise=alls=40:allf=t -c:v libx264 -preset ultrafast -qp 20 -g 15 -c:a aac "
                               "-shortest '" + source.string() + "'"));
    ASSERT_GT(fs::file_size(source), 3u * (4 << 20)) << "large enough for several runs";
    VideoSource video = VideoOpener::open(source);
    fs::path out = output("runs.mp4");
    Exported e = exportCopy(video, out);
    EXPECT_EQ(e.count, video.table.count());
    EXPECT_EQ(md5s("-i '" + out.string() + "' -c copy"), md5s("-i '" + source.string() + "' -map 0:v -c copy"));
    auto times = [](const fs::path& f) {
        return fx::runCommand("ffprobe -v error -select_streams v -show_entries packet=pts,dts,duration,flags "
                              "-of csv=p=0 '" + f.string() + "'");
    };
    EXPECT_EQ(times(out), times(source));
}

TEST(PictureCopyFeed, ASourceCutShortAfterOpeningFailsInTheUsersWords) {
    fs::path source = output("cut-source.mp4");
    fs::copy_file(fx::path("copy.mp4"), source, fs::copy_options::overwrite_existing);
    VideoSource video = VideoOpener::open(source);
    int64_t last = 0;
    for (const auto& s : video.track->samples) last = std::max<int64_t>(last, s.offset + s.size);
    for (int64_t keep : {last - 1, last / 2, int64_t{0}}) {
        fs::resize_file(source, static_cast<uintmax_t>(keep));
        MovieWriter writer(output("cut.mp4"));
        PictureCopyFeed feed(video, video.track->firstDescription(), writer);
        ASSERT_NO_THROW(writer.startWriting());
        StopFlag stop;
        try {
            feed.run(writer, stop, video.table.count(), {});
            ADD_FAILURE() << "a cut source copied, kept " << keep;
        } catch (const EngineFailure& f) {
            EXPECT_EQ(f, (EngineFailure{-32002, "cut-source.mp4 is cut short or damaged, so its end can't be read."})) << keep;
        }
        writer.cancelWriting();
    }
}
