// A decoder's pictures come from the engine's mapped frame buffers, laid out
// as the library lays them out, and decode to the same samples.
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Render/Drawing/FrameMemory.hpp"
#include "Adapters/Render/Sources/VideoFrameWalk.hpp"
#include "Adapters/Render/Sources/VideoFrames.hpp"
#include "Adapters/Render/Sources/VideoOpener.hpp"
#include "tests/adapters/render/MediaFixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace korvel;
namespace fx = korvel::MediaFixtures;

namespace {

using Planes = std::vector<std::vector<uint8_t>>;

// The visible samples of each plane, rows packed.
Planes planesOf(const AVFrame& f) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f.format));
    const int bytes = d->comp[0].depth > 8 ? 2 : 1;
    Planes out(3);
    for (int p = 0; p < 3; ++p) {
        const int w = p == 0 ? f.width : AV_CEIL_RSHIFT(f.width, d->log2_chroma_w);
        const int h = p == 0 ? f.height : AV_CEIL_RSHIFT(f.height, d->log2_chroma_h);
        for (int y = 0; y < h; ++y) {
            const uint8_t* row = f.data[p] + static_cast<ptrdiff_t>(y) * f.linesize[p];
            out[static_cast<size_t>(p)].insert(out[static_cast<size_t>(p)].end(), row, row + w * bytes);
        }
    }
    return out;
}

// Every frame as the library decodes it into its own buffers, by presentation time.
std::map<int64_t, Planes> libraryFrames(const std::filesystem::path& url) {
    std::map<int64_t, Planes> frames;
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, url.c_str(), nullptr, nullptr) < 0) return frames;
    FFmpeg::Format format(opened);
    avformat_find_stream_info(format.get(), nullptr);
    const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) return frames;
    FFmpeg::Codec codec(avcodec_alloc_context3(avcodec_find_decoder(format->streams[index]->codecpar->codec_id)));
    avcodec_parameters_to_context(codec.get(), format->streams[index]->codecpar);
    if (avcodec_open2(codec.get(), nullptr, nullptr) < 0) return frames;
    FFmpeg::Packet packet = FFmpeg::packet();
    FFmpeg::Frame frame = FFmpeg::frame();
    auto receive = [&] {
        while (avcodec_receive_frame(codec.get(), frame.get()) == 0) {
            frames[frame->pts] = planesOf(*frame);
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        if (packet->stream_index == index) avcodec_send_packet(codec.get(), packet.get());
        av_packet_unref(packet.get());
        receive();
    }
    avcodec_send_packet(codec.get(), nullptr);
    receive();
    return frames;
}

} // namespace

TEST(DecodedPictures, LargePicturesAreMappedFrameBuffersAndDecodeTheSame) {
    FFmpeg::prepare();
    FrameMemory::Use render;
    struct Case {
        const char* name;
        bool mapped;
    };
    // hd.mp4 is 1280 x 720 with decoder threads; hevc.mp4 is 320 x 240, too
    // small to be worth a mapping of its own.
    for (const Case& k : {Case{"hd.mp4", true}, Case{"hevc.mp4", false}}) {
        const auto url = fx::path(k.name);
        VideoSource video = VideoOpener::open(url);
        const size_t maps = FrameMemory::mapsSoFar();
        std::map<int64_t, Planes> ours;
        VideoFrames::walk(url, *video.track, 0, [&](const AVFrame& f) {
            ours[f.pts] = planesOf(f);
            return true;
        }, {});
        EXPECT_EQ(FrameMemory::mapsSoFar() > maps, k.mapped) << k.name;
        std::map<int64_t, Planes> library = libraryFrames(url);
        ASSERT_EQ(ours.size(), video.track->samples.size()) << k.name;
        ASSERT_EQ(ours.size(), library.size()) << k.name;
        // In presentation order; the two count time from different origins.
        auto a = ours.begin();
        for (auto b = library.begin(); b != library.end(); ++a, ++b) EXPECT_EQ(a->second, b->second) << k.name << " at " << a->first;
    }
}

// A decoder keeps only the pictures its stream needs at once, and the
// mapped blocks are given back when it closes, the last one out included.
TEST(DecodedPictures, AClosedDecoderGivesItsPicturesBack) {
    FFmpeg::prepare();
    FrameMemory::Use render;
    const auto url = fx::path("hd.mp4");
    VideoSource video = VideoOpener::open(url);
    auto inUse = [] { return FrameMemory::mappedBytes() - FrameMemory::keptBytes(); };
    const size_t before = inUse();
    std::vector<size_t> most(3, 0);
    std::shared_ptr<const VideoFrames::DecodedFrame> held;
    {
        VideoFrames::Reader reader(url, video.track, video.color, DynamicRange::sdr, VideoFrames::FrameValues::picture);
        for (size_t pass = 0; pass < most.size(); ++pass) {
            for (size_t sample = 0; sample < video.track->samples.size(); ++sample) {
                held = reader.decoded(sample);
                most[pass] = std::max(most[pass], inUse() - before);
            }
        }
        // Going back over the stream twice takes no more pictures than the first pass.
        EXPECT_GT(most[0], 0u);
        EXPECT_LE(most[1], most[0]);
        EXPECT_LE(most[2], most[0]);
    }
    // The frame still held keeps its block, and only it.
    const size_t picture = static_cast<size_t>(1280 * 720) * 3 / 2;
    EXPECT_GE(inUse() - before, picture);
    EXPECT_LT(inUse() - before, 2 * picture + (size_t{4} << 20));
    held.reset();
    EXPECT_EQ(inUse(), before);
}

