#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Render/Outputs/AudioFeed.hpp"
#include "Adapters/Render/Drawing/FrameMemory.hpp"
#include "Adapters/Render/Outputs/EncodingStage.hpp"
#include "Adapters/Render/Outputs/FragmentWriter.hpp"
#include "Adapters/Render/PreviewService.hpp"
#include "Adapters/Render/Outputs/VideoEncoder.hpp"

extern "C" {
#include <libavutil/frame.h>
}

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace korvel;

TEST(FragmentWriter, PreviewBitRateFollowsTheArea) {
    struct Case {
        int64_t width, height, bitrate;
    };
    for (auto c : std::vector<Case>{{1620, 912, 16'000'000},
                                   {912, 1620, 16'000'000},
                                   {1080, 1080, 12'631'578},
                                   {640, 360, 2'495'126},
                                   {320, 180, 2'000'000},
                                   {8192, 8192, 16'000'000}}) {
        EXPECT_EQ(FragmentWriter::bitrate({c.width, c.height}), c.bitrate) << c.width << "x" << c.height;
    }
    auto e = FragmentWriter::encoding({1620, 912}, FrameGrid(FrameRate{30000, 1001}));
    EXPECT_EQ(e.expectedFrameRate(), 30);
    EXPECT_EQ(e.keyframeIntervalSeconds, std::optional<double>(2.0));
    EXPECT_FALSE(e.allowsReordering);
    EXPECT_TRUE(e.constrained);
}

TEST(PreviewService, SizesKeepSidesUsable) {
    struct Case {
        int64_t width, height, edge;
        RenderSize segment, frame;
    };
    for (auto c : std::vector<Case>{{1920, 1080, 1, {1620, 912}, {2, 1}},
                                   {1081, 1921, 4000, {912, 1620}, {1081, 1921}},
                                   {641, 361, 4000, {640, 360}, {641, 361}},
                                   {2, 3, 1, {2, 2}, {1, 2}}}) {
        Canvas canvas{VideoFormat::horizontal, c.width, c.height, {30, 1}};
        EXPECT_EQ(PreviewService::segmentSize(canvas), c.segment) << c.width << "x" << c.height;
        EXPECT_EQ(PreviewService::frameSize(canvas, c.edge), c.frame) << c.width << "x" << c.height;
    }
    for (auto side : std::vector<int64_t>{0, 1, 8193, -4}) {
        EXPECT_THROW(PreviewService::checkCanvas(Canvas{VideoFormat::square, side, 100, {30, 1}}), EngineFailure);
        EXPECT_THROW(PreviewService::checkCanvas(Canvas{VideoFormat::square, 100, side, {30, 1}}), EngineFailure);
    }
    EXPECT_NO_THROW(PreviewService::checkCanvas(Canvas{VideoFormat::square, 2, 8192, {30, 1}}));
}

TEST(AudioFeed, SecondsReadBackWithAPoint) {
    EXPECT_EQ(AudioFeed::seconds(12.5), "12.5");
    EXPECT_EQ(AudioFeed::seconds(10.0), "10.0");
    EXPECT_EQ(AudioFeed::seconds(0.1), "0.1");
    EXPECT_EQ(AudioFeed::seconds(4.033333333333333), "4.033333333333333");
}

TEST(AudioFeed, AStoppedPumpIsJoinedBeforeTheWriterGoes) {
    namespace fs = std::filesystem;
    fs::path dir = fs::path(KORVEL_TEST_TMP) / ("audio-feed-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::path mix = dir / "long.wav";
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i sine=sample_rate=48000:duration=20 -ac 2 '" +
                           mix.string() + "'").c_str()),
              0);
    auto source = AudioFeed::open(mix.string(), 20.0, 0.05);
    EXPECT_EQ(source.channels, 2);
    EXPECT_FALSE(source.copied);
    StopFlag stop;
    std::function<void()> wait;
    auto writer = std::make_unique<MovieWriter>(dir / "out.mp4");
    VideoEncoder encoder(FragmentWriter::encoding({64, 64}, FrameGrid(FrameRate{30, 1})), true);
    ASSERT_NO_THROW(writer->add(encoder));
    auto feed = std::make_unique<AudioFeed>(source, *writer, 256'000);
    ASSERT_NO_THROW(writer->startWriting());
    wait = feed->start(*writer, stop);
    // The failure path: stop, join, then the writer may go.
    stop.stop();
    feed->join();
    EXPECT_TRUE(feed->hasStopped(0));
    writer->cancelWriting();
    writer.reset();
    feed.reset();
    fs::remove_all(dir);
}

TEST(AudioFeed, MixFilesAreCheckedBeforeUse) {
    namespace fs = std::filesystem;
    fs::path dir = fs::path(KORVEL_TEST_TMP) / ("audio-feed-checks-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::path mix = dir / "two.wav";
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i sine=sample_rate=48000:duration=2 '" + mix.string() + "'").c_str()), 0);
    auto failure = [&](const std::string& path, double video, double tolerance) {
        try {
            AudioFeed::open(path, video, tolerance);
        } catch (const EngineFailure& f) {
            return f;
        }
        return EngineFailure{0, "opened"};
    };
    // Half a frame off passes; one and a half frames off does not.
    EXPECT_EQ(failure(mix.string(), 2.0 + 0.5 / 30, 1.0 / 30).code, 0);
    EXPECT_EQ(failure(mix.string(), 2.05, 1.0 / 30),
              (EngineFailure{-32602, "The sound mix lasts 2.0 s and the video 2.05 s."}));
    EXPECT_EQ(failure((dir / "none.wav").string(), 2.0, 0.1),
              (EngineFailure{-32001, "The sound mix none.wav is not there."}));
    fs::remove_all(dir);
}

TEST(MovieWriter, AFullDiskReachesTheClientInItsWords) {
    MovieWriter writer("/dev/full");
    VideoEncoding e = FragmentWriter::encoding({64, 64}, FrameGrid(FrameRate{30, 1}));
    EncodingStage stage(e, writer);
    ASSERT_NO_THROW(writer.add(stage.encoder()));
    RGBAImage image = RGBAImage::transparent(0, 0, 64, 64);
    for (size_t i = 0; i < image.pixels.size(); ++i) image.pixels[i] = static_cast<float>((i * 7919) % 1000) / 1000.0f;
    std::optional<EngineFailure> failure;
    try {
        writer.startWriting();
        for (int64_t i = 0; i < 300; ++i) stage.take(EncoderPicture::from(image, e), i);
        stage.finish();
        writer.finishWriting();
    } catch (const EngineFailure& f) {
        failure = f;
    }
    ASSERT_TRUE(failure);
    EXPECT_EQ(*failure, (EngineFailure{-32004, "There isn't enough room on the disk for full."}));
    // Later calls give the same failure, not a new one.
    try {
        stage.take(EncoderPicture::from(image, e), 300);
        ADD_FAILURE() << "a failed writer took a picture";
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f, *failure);
    }
}

TEST(EncoderPicture, PlanesComeFromTheFrameBuffersAndGoBackToThem) {
    FrameMemory::freeIdle(std::chrono::steady_clock::now() + std::chrono::hours(1));
    FrameMemory::Use render;
    VideoEncoding e;
    e.size = {1620, 912};
    e.profile = "high";
    RGBAImage image = RGBAImage::transparent(0, 0, 1620, 912);
    for (size_t i = 3; i < image.pixels.size(); i += 4) image.pixels[i] = 1;
    const uint8_t* first = nullptr;
    for (int round = 0; round < 2; ++round) {
        EncoderPicture picture = EncoderPicture::from(image, e);
        const AVFrame& f = picture.frame();
        for (int p = 0; p < 3; ++p) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(f.data[p]) % 64, 0u) << "plane " << p;
            EXPECT_EQ(f.linesize[p] % 64, 0) << "plane " << p;
            EXPECT_GE(f.linesize[p], p == 0 ? 1620 : 810);
        }
        EXPECT_EQ(f.data[1], f.data[0] + static_cast<ptrdiff_t>(f.linesize[0]) * 912);
        EXPECT_EQ(f.data[2], f.data[1] + static_cast<ptrdiff_t>(f.linesize[1]) * 456);
        // Black: every code written, whatever the buffer held before.
        EXPECT_EQ(f.data[0][0], 16);
        EXPECT_EQ(f.data[0][static_cast<ptrdiff_t>(f.linesize[0]) * 911 + 1619], 16);
        EXPECT_EQ(f.data[2][static_cast<ptrdiff_t>(f.linesize[2]) * 455 + 809], 128);
        if (round == 0) {
            EXPECT_EQ(FrameMemory::keptBuffers(), 0u);
            first = f.data[0];
            std::memset(f.buf[0]->data, 0xEE, f.buf[0]->size);
        } else {
            EXPECT_EQ(f.data[0], first) << "the second picture takes the first one's memory";
        }
    }
    EXPECT_EQ(FrameMemory::keptBuffers(), 1u) << "and gives it back";
}
