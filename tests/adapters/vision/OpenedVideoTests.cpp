#include "Adapters/Vision/OpenedVideo.hpp"

#include "Adapters/Render/Sources/VideoDecoder.hpp"
#include "tests/adapters/vision/VisionFixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <stop_token>

using namespace korvel;

namespace {

std::vector<int64_t> walk(const OpenedVideo& video, const JobContext& job) {
    std::vector<int64_t> times;
    video.forEachFrame(32, 18, OpenedVideo::PixelFormat::bgra32, OpenedVideo::Transfer::sRGB, job,
                       [&](const VideoFrame& f, int64_t t) {
                           EXPECT_EQ(f.width, 32);
                           EXPECT_EQ(f.height, 18);
                           times.push_back(t);
                       });
    return times;
}

std::vector<int64_t> expectedTimes(int frames, int rate) {
    std::vector<int64_t> t;
    for (int i = 0; i < frames; ++i) t.push_back(static_cast<int64_t>(std::llround(i * 1e6 / rate)));
    return t;
}

} // namespace

TEST(OpenedVideo, ReadsTheTracksFacts) {
    auto video = OpenedVideo::open(MediaFixtures::path("h264.mp4"));
    EXPECT_EQ(video.naturalSize, (PictureSize{320, 240}));
    EXPECT_EQ(video.orientation, 1);
    EXPECT_EQ(video.durationUs, 2'000'000);
    EXPECT_NE(OpenedVideo::open(MediaFixtures::path("portrait.mp4")).orientation, 1);
}

TEST(OpenedVideo, OpeningFailuresHaveTheirSentences) {
    struct Case {
        std::filesystem::path path;
        EngineFailure failure;
    } cases[] = {
        {MediaFixtures::folder() / "no-such-video.mp4", {-32001, "The file is not there anymore."}},
        {MediaFixtures::path("tone.wav"), {-32602, "This file has no video track."}},
        {MediaFixtures::path("notes.txt"), {-32002, "Part of this video can't be read. The file may be damaged."}},
        {MediaFixtures::path("high10.mp4").parent_path() / "notes.txt", {-32002, "Part of this video can't be read. The file may be damaged."}},
        // A movie file cut before its movie box is damaged, not without video.
        {MediaFixtures::path("moovless.mp4"), {-32002, "Part of this video can't be read. The file may be damaged."}},
        // A still picture of the movie family has no movie box by nature.
        {MediaFixtures::path("still.heic"), {-32602, "This file has no video track."}},
    };
    for (const auto& c : cases) {
        try {
            OpenedVideo::open(c.path);
            ADD_FAILURE() << c.path;
        } catch (const EngineFailure& e) {
            EXPECT_EQ(e, c.failure) << c.path << ": " << e.message;
        }
    }
}

TEST(OpenedVideo, ACutShortFileFailsInTheWalk) {
    // The movie box is whole, the media data cut: opening reads no frame.
    auto video = OpenedVideo::open(MediaFixtures::path("cut.mp4"));
    try {
        walk(video, JobContext::silent());
        ADD_FAILURE();
    } catch (const EngineFailure& e) {
        EXPECT_EQ(e, EngineFailure(-32002, "Part of this video can't be read. The file may be damaged.")) << e.message;
    }
}

TEST(OpenedVideo, WalksEveryFrameOnceInOrder) {
    auto video = OpenedVideo::open(MediaFixtures::path("copy.mp4")); // B-frames, key frames every 10
    EXPECT_EQ(walk(video, JobContext::silent()), expectedTimes(120, 30));
}

TEST(OpenedVideo, GivingWayResumesAfterTheLastFrame) {
    auto video = OpenedVideo::open(MediaFixtures::path("copy.mp4"));
    for (size_t after : {size_t{0}, size_t{10}, size_t{55}}) {
        std::vector<int64_t> times;
        int waits = 0;
        bool gaveWay = false;
        JobContext job([](const EngineProgress&) {}, [&] { ++waits; },
                       [&] {
                           if (gaveWay || times.size() != after) return false;
                           gaveWay = true;
                           return true;
                       });
        video.forEachFrame(32, 18, OpenedVideo::PixelFormat::bgra32, OpenedVideo::Transfer::sRGB, job,
                           [&](const VideoFrame&, int64_t t) { times.push_back(t); });
        EXPECT_EQ(waits, 1) << after;
        EXPECT_EQ(times, expectedTimes(120, 30)) << after;
    }
}

// Matroska has no movie box: its frames come through libavformat, with the
// same walk, restarts and times as the movie file it was copied from.
TEST(OpenedVideo, AMatroskaFileIsWalkedAsItsMovieFileIs) {
    auto movie = OpenedVideo::open(MediaFixtures::path("copy.mp4"));
    auto video = OpenedVideo::open(MediaFixtures::path("copy.mkv"));
    EXPECT_EQ(video.naturalSize, movie.naturalSize);
    EXPECT_EQ(video.orientation, 1);
    EXPECT_EQ(video.table.count(), 120);
    EXPECT_NEAR(double(video.durationUs), double(movie.durationUs), 1'000);
    const auto whole = walk(video, JobContext::silent());
    ASSERT_EQ(whole.size(), 120u);
    // Matroska keeps milliseconds.
    const auto expected = expectedTimes(120, 30);
    for (size_t i = 0; i < whole.size(); ++i) EXPECT_NEAR(double(whole[i] - whole[0]), double(expected[i]), 1'000) << i;
    for (size_t after : {size_t{0}, size_t{10}, size_t{55}}) {
        std::vector<int64_t> times;
        int waits = 0;
        bool gaveWay = false;
        JobContext job([](const EngineProgress&) {}, [&] { ++waits; },
                       [&] {
                           if (gaveWay || times.size() != after) return false;
                           gaveWay = true;
                           return true;
                       });
        video.forEachFrame(32, 18, OpenedVideo::PixelFormat::bgra32, OpenedVideo::Transfer::sRGB, job,
                           [&](const VideoFrame&, int64_t t) { times.push_back(t); });
        EXPECT_EQ(waits, 1) << after;
        EXPECT_EQ(times, whole) << after;
    }
}

TEST(OpenedVideo, ACancelledJobStopsAfterItsWaitInsteadOfReopening) {
    auto video = OpenedVideo::open(MediaFixtures::path("h264.mp4"));
    std::stop_source stop;
    Task::Scope scope(stop.get_token());
    int waits = 0;
    // A cancelled background wait returns at once while still asking to give way.
    JobContext job([](const EngineProgress&) {}, [&] {
        ++waits;
        stop.request_stop();
    }, [] { return true; });
    EXPECT_THROW(walk(video, job), Cancelled);
    EXPECT_EQ(waits, 1);
}

TEST(OpenedVideo, FramesTurnedDownAreNotDelivered) {
    auto video = OpenedVideo::open(MediaFixtures::path("h264.mp4"));
    std::vector<int64_t> asked, delivered;
    video.forEachFrame(
        16, 16, OpenedVideo::PixelFormat::bgra32, OpenedVideo::Transfer::sRGB, JobContext::silent(),
        [&](const VideoFrame&, int64_t t) { delivered.push_back(t); },
        [&](int64_t t) {
            asked.push_back(t);
            return asked.size() % 20 == 1;
        });
    EXPECT_EQ(asked.size(), 60u);
    EXPECT_EQ(delivered, (std::vector<int64_t>{0, 666'667, 1'333'333}));
}

TEST(OpenedVideo, BodyErrorsPassUnchanged) {
    auto video = OpenedVideo::open(MediaFixtures::path("h264.mp4"));
    try {
        video.forEachFrame(16, 16, OpenedVideo::PixelFormat::bgra32, OpenedVideo::Transfer::sRGB, JobContext::silent(),
                           [](const VideoFrame&, int64_t) { throw EngineFailure(-32099, "mine"); });
        ADD_FAILURE();
    } catch (const EngineFailure& e) {
        EXPECT_EQ(e, EngineFailure(-32099, "mine"));
    }
}

TEST(OpenedVideo, SmallFramesAverageTheirAreas) {
    // Blue with a red top-left quarter-by-quarter corner: at 4 by 4 the corner
    // pixel is red, the others blue.
    auto video = OpenedVideo::open(MediaFixtures::path("corner.mp4"));
    bool seen = false;
    video.forEachFrame(4, 4, OpenedVideo::PixelFormat::bgra32, OpenedVideo::Transfer::bt709, JobContext::silent(),
                       [&](const VideoFrame& f, int64_t t) {
                           if (t != 0) return;
                           seen = true;
                           const uint8_t* corner = f.bgra;
                           const uint8_t* other = f.bgra + 2 * f.bytesPerRow + 2 * 4;
                           EXPECT_GT(corner[2], 200);
                           EXPECT_LT(corner[0], 60);
                           EXPECT_GT(other[0], 200);
                           EXPECT_LT(other[2], 60);
                           EXPECT_EQ(corner[3], 255);
                       });
    EXPECT_TRUE(seen);
}

// Frames foreseen as wanted decode as in a full walk; the pictures nothing
// refers to and not foreseen are left undecoded, so fewer frames come out.
TEST(OpenedVideo, FramesNotForeseenAndUnreferencedAreNotDecoded) {
    auto video = OpenedVideo::open(MediaFixtures::path("copy.mp4")); // B-frames, key frames every 10
    auto pictures = [&](const OpenedVideo::Foreseen& foreseen, std::vector<int64_t>* asked) {
        std::map<int64_t, std::vector<uint8_t>> out;
        video.forEachFrame(
            64, 36, OpenedVideo::PixelFormat::bgra32, OpenedVideo::Transfer::bt709, JobContext::silent(),
            [&](const VideoFrame& f, int64_t t) { out[t].assign(f.bytes().begin(), f.bytes().end()); },
            [&](int64_t t) {
                if (asked) asked->push_back(t);
                return true;
            },
            foreseen);
        return out;
    };
    const auto whole = pictures({}, nullptr);
    ASSERT_EQ(whole.size(), 120u);
    const auto times = video.shownTimesUs();
    EXPECT_EQ(times, expectedTimes(120, 30));
    // Every seventh frame, across key frames and B-frames alike.
    std::set<int64_t> wanted;
    for (size_t i = 0; i < times.size(); i += 7) wanted.insert(times[i]);
    std::vector<int64_t> asked;
    const auto some = pictures([&](int64_t t) { return wanted.count(t) > 0; }, &asked);
    EXPECT_LT(asked.size(), 100u);
    EXPECT_TRUE(std::is_sorted(asked.begin(), asked.end()));
    for (int64_t t : wanted) {
        ASSERT_TRUE(some.count(t)) << t;
        EXPECT_EQ(some.at(t), whole.at(t)) << t;
    }
    // The walks share one decoder; the skipping one leaves nothing behind.
    const auto again = pictures({}, nullptr);
    EXPECT_TRUE(again == whole) << again.size() << " frames";
}

namespace {

std::map<int64_t, std::vector<uint8_t>> pictures(const OpenedVideo& video, int64_t width, int64_t height,
                                                 OpenedVideo::Transfer transfer,
                                                 const OpenedVideo::Beside* beside = nullptr,
                                                 std::optional<int64_t> afterUs = std::nullopt) {
    std::map<int64_t, std::vector<uint8_t>> out;
    video.forEachFrame(
        width, height, OpenedVideo::PixelFormat::bgra32, transfer, JobContext::silent(),
        [&](const VideoFrame& f, int64_t t) { out[t].assign(f.bytes().begin(), f.bytes().end()); }, {}, {}, beside,
        afterUs);
    return out;
}

} // namespace

// A second size rides along the walk with the pictures a walk of its own
// gives, for the frames it wants, as long as both decode alike.
TEST(OpenedVideo, FramesBesideAreThoseOfAWalkAtTheirSize) {
    auto video = OpenedVideo::open(MediaFixtures::path("copy.mp4")); // 320x240, B-frames
    const auto own = pictures(video, 32, 18, OpenedVideo::Transfer::sRGB);
    ASSERT_EQ(own.size(), 120u);
    struct Case {
        int64_t width, height;
        bool delivered; // a picture shrunk less than six times keeps its deblocking
    } cases[] = {{40, 30, true}, {48, 36, true}, {64, 48, false}};
    for (const auto& c : cases) {
        const auto alone = pictures(video, c.width, c.height, OpenedVideo::Transfer::bt709);
        std::map<int64_t, std::vector<uint8_t>> aside;
        std::vector<int64_t> asked;
        const OpenedVideo::Beside beside{c.width, c.height, OpenedVideo::Transfer::bt709,
                                         [&](int64_t t) {
                                             asked.push_back(t);
                                             return asked.size() % 3 == 1;
                                         },
                                         [&](const VideoFrame& f, int64_t t) {
                                             EXPECT_EQ(f.width, c.width);
                                             aside[t].assign(f.bytes().begin(), f.bytes().end());
                                         }};
        EXPECT_TRUE(pictures(video, 32, 18, OpenedVideo::Transfer::sRGB, &beside) == own) << c.width;
        if (!c.delivered) {
            EXPECT_TRUE(asked.empty()) << c.width;
            EXPECT_TRUE(aside.empty()) << c.width;
            continue;
        }
        EXPECT_EQ(asked.size(), 120u) << c.width;
        ASSERT_EQ(aside.size(), 40u) << c.width;
        for (const auto& [t, bytes] : aside) EXPECT_EQ(bytes, alone.at(t)) << c.width << " at " << t;
    }
}

// A walk after a time decodes from the key frame before it and delivers
// the frames shown later, as a whole walk gives them.
TEST(OpenedVideo, AWalkAfterATimeGivesTheLaterFramesOnly) {
    auto video = OpenedVideo::open(MediaFixtures::path("copy.mp4")); // key frames every 10
    const auto whole = pictures(video, 64, 36, OpenedVideo::Transfer::bt709);
    const auto times = expectedTimes(120, 30);
    struct Case {
        int64_t afterUs;
        size_t first; // index of the first frame delivered
    } cases[] = {{-1, 0}, {times[0], 1}, {times[14], 15}, {times[70] + 1, 71}, {times[119], 120}};
    for (const auto& c : cases) {
        const uint64_t before = VideoDecoder::decodedCount();
        const auto later = pictures(video, 64, 36, OpenedVideo::Transfer::bt709, nullptr, c.afterUs);
        const uint64_t decoded = VideoDecoder::decodedCount() - before;
        ASSERT_EQ(later.size(), 120 - c.first) << c.afterUs;
        for (size_t i = c.first; i < 120; ++i) EXPECT_EQ(later.at(times[i]), whole.at(times[i])) << c.afterUs << " " << i;
        // From the key frame at or before the first, at most a group of frames more.
        EXPECT_LE(decoded, 120 - c.first / 10 * 10) << c.afterUs;
    }
}
