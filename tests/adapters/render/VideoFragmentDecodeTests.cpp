// The copied-window fragment must be a file FFmpeg plays: built here from
// real H.264 samples demuxed from an MP4 that ffmpeg encodes at test time.
#include "Core/Container/VideoFragmentWriter.hpp"
#include "tests/support/Shell.hpp"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace korvel;
using korvel::testing::runCommand;
namespace fs = std::filesystem;

namespace {

// The command's output, and a failure when it did not exit 0.
std::string output(const std::string& command) {
    auto out = runCommand(command);
    EXPECT_TRUE(out) << command;
    return out.value_or("");
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(line);
    return out;
}

struct Demuxed {
    CopiedVideoFormat format;
    uint32_t timescale = 0;
    std::vector<CopiedSample> samples;
    MP4BoxWriter::Bytes payload;
    std::vector<int64_t> pts;  // presentation times with decode time starting at 0
};

Demuxed demux(const fs::path& file) {
    Demuxed d;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return d;
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> ctx(raw, [](AVFormatContext* c) {
        avformat_close_input(&c);
    });
    avformat_find_stream_info(ctx.get(), nullptr);
    AVStream* stream = ctx->streams[0];
    AVCodecParameters* par = stream->codecpar;
    d.format.sampleEntry = "avc1";
    d.format.configBox = "avcC";
    d.format.config.assign(par->extradata, par->extradata + par->extradata_size);
    d.format.width = par->width;
    d.format.height = par->height;
    d.timescale = static_cast<uint32_t>(stream->time_base.den);
    AVPacket* pkt = av_packet_alloc();
    int64_t firstDts = 0;
    bool first = true;
    while (av_read_frame(ctx.get(), pkt) >= 0) {
        if (first) firstDts = pkt->dts;
        first = false;
        d.samples.push_back({static_cast<uint32_t>(pkt->duration), static_cast<uint32_t>(pkt->size),
                             static_cast<int32_t>(pkt->pts - pkt->dts), (pkt->flags & AV_PKT_FLAG_KEY) != 0});
        d.payload.insert(d.payload.end(), pkt->data, pkt->data + pkt->size);
        d.pts.push_back(pkt->pts - firstDts);
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    return d;
}

} // namespace

TEST(VideoFragmentWriter, FFmpegDecodesEveryCopiedFrame) {
    fs::path dir = fs::path(KORVEL_TEST_TMP) / "video-fragment";
    fs::create_directories(dir);
    fs::path source = dir / "source.mp4";
    fs::path fragment = dir / "fragment.mp4";
    output("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=30:d=1 -c:v libx264 -pix_fmt yuv420p "
           "-g 10 -bf 2 -an " + source.string());

    Demuxed d = demux(source);
    ASSERT_EQ(d.samples.size(), 30u);
    ASSERT_GT(d.format.config.size(), 6u);
    ASSERT_EQ(d.format.config[0], 1) << "expected an AVC configuration record";
    int syncs = 0;
    bool reordered = false;
    for (const auto& s : d.samples) {
        syncs += s.isSync;
        reordered |= s.compositionOffset != d.samples[0].compositionOffset;
    }
    ASSERT_GE(syncs, 3);
    ASSERT_TRUE(reordered) << "the fixture should carry B-frames";

    auto bytes = VideoFragmentWriter::fragment(d.format, d.timescale, d.samples, d.payload);
    std::ofstream(fragment, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                     static_cast<std::streamsize>(bytes.size()));

    // Every frame decodes, at the presentation times the samples describe.
    auto probed = lines(output("ffprobe -v error -select_streams v:0 -show_entries frame=pts -of csv=p=0 " +
                               fragment.string() + " 2>&1"));
    std::vector<int64_t> expected = d.pts;
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(probed.size(), expected.size());
    for (size_t i = 0; i < probed.size(); ++i) EXPECT_EQ(std::stoll(probed[i]), expected[i]) << i;

    // Same pictures as the source, and no decoder complaint.
    auto hashes = [&](const fs::path& file) {
        std::vector<std::string> out;
        for (const auto& line : lines(output("ffmpeg -v error -i " + file.string() + " -map 0:v -f framemd5 - 2>&1")))
            if (line[0] != '#') out.push_back(line.substr(line.rfind(',') + 1));
        return out;
    };
    auto original = hashes(source);
    EXPECT_EQ(original.size(), 30u);
    EXPECT_EQ(hashes(fragment), original);
}
