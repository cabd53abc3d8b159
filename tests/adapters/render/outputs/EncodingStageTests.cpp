#include "Adapters/Files/WholeFile.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Render/Outputs/EncodingStage.hpp"
#include "Adapters/Render/Outputs/FragmentWriter.hpp"
#include "Adapters/Render/Outputs/MovieWriter.hpp"
#include "tests/adapters/render/MediaFixtures.hpp"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <filesystem>
#include <vector>

using namespace korvel;
namespace fs = std::filesystem;
namespace fx = korvel::MediaFixtures;

namespace {

struct Sample {
    std::vector<uint8_t> bytes;
    int64_t ptsUs = 0, dtsUs = 0;
    bool key = false;
    bool operator==(const Sample&) const = default;
};

std::vector<Sample> samples(const fs::path& file) {
    std::vector<Sample> out;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return out;
    FFmpeg::Format format(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0) return out;
    auto packet = FFmpeg::packet();
    while (av_read_frame(raw, packet.get()) >= 0) {
        AVRational base = raw->streams[packet->stream_index]->time_base;
        out.push_back({{packet->data, packet->data + packet->size},
                       av_rescale_q(packet->pts, base, AVRational{1, 1'000'000}),
                       av_rescale_q(packet->dts, base, AVRational{1, 1'000'000}),
                       (packet->flags & AV_PKT_FLAG_KEY) != 0});
        av_packet_unref(packet.get());
    }
    return out;
}

// Hands what one encoder gave to both writers.
struct BothWriters : PacketSink {
    MovieWriter& movie;
    FragmentWriter& fragment;
    BothWriters(MovieWriter& m, FragmentWriter& f) : movie(m), fragment(f) {}
    void take(std::span<const VideoEncoder::Packet> packets) override {
        movie.take(packets);
        fragment.take(packets);
    }
    void refuse(std::exception_ptr failure) override { movie.refuse(failure); }
};

} // namespace

// Exports and previews are one encoding road: fed the same packets, the
// movie and the fragment carry the same samples at the same times.
TEST(EncodingStage, TheMovieAndTheFragmentCarryTheSamePackets) {
    fs::path dir = fx::folder() / "encoding-stage";
    fs::create_directories(dir);
    VideoEncoding e = FragmentWriter::encoding({64, 48}, FrameGrid(FrameRate{30000, 1001}));
    MovieWriter movie(dir / "movie.mp4");
    FragmentWriter fragment;
    BothWriters both(movie, fragment);
    EncodingStage stage(e, both);
    movie.add(stage.encoder());
    movie.startWriting();
    const int64_t count = 75; // past the two-second key frame
    for (int64_t i = 0; i < count; ++i) {
        RGBAImage image = RGBAImage::transparent(0, 0, 64, 48);
        for (size_t p = 0; p < image.pixels.size(); ++p) {
            image.pixels[p] = static_cast<float>((p * 31 + static_cast<size_t>(i) * 977) % 1000) / 1000.0f;
        }
        stage.take(EncoderPicture::from(image, e), i);
    }
    stage.finish();
    movie.finishWriting();
    WholeFile::write(dir / "fragment.mp4", fragment.fragment(stage.encoder()));

    auto fromMovie = samples(dir / "movie.mp4");
    auto fromFragment = samples(dir / "fragment.mp4");
    ASSERT_EQ(static_cast<int64_t>(fromMovie.size()), count);
    ASSERT_EQ(fromFragment.size(), fromMovie.size());
    for (size_t i = 0; i < fromMovie.size(); ++i) EXPECT_TRUE(fromMovie[i] == fromFragment[i]) << "sample " << i;
    EXPECT_TRUE(fromMovie[0].key);
    EXPECT_TRUE(fromMovie[59].key); // every floor(2 s × 29.97) frames
    fs::remove_all(dir);
}

// A writer that can no longer write says so on the next picture, even when
// the encoder keeps that picture back and gives no packet for it.
TEST(EncodingStage, ACancelledMovieRefusesTheNextPicture) {
    fs::path dir = fx::folder() / "encoding-stage-cancelled";
    fs::create_directories(dir);
    VideoEncoding e = FragmentWriter::encoding({64, 48}, FrameGrid(FrameRate{30, 1}));
    MovieWriter movie(dir / "movie.mp4");
    EncodingStage stage(e, movie);
    movie.add(stage.encoder());
    movie.startWriting();
    movie.cancelWriting();
    RGBAImage image = RGBAImage::transparent(0, 0, 64, 48);
    EXPECT_THROW(stage.take(EncoderPicture::from(image, e), 0), Cancelled);
    EXPECT_THROW(stage.finish(), Cancelled);
    fs::remove_all(dir);
}
