// The records and samples built from Annex B and Matroska streams agree
// byte for byte with what FFmpeg's MP4 muxer writes for the same stream.

#include "Core/Container/AnnexB.hpp"
#include "tests/support/Shell.hpp"

extern "C" {
#include <libavformat/avformat.h>
}

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

using namespace korvel;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

struct Demuxed {
    Bytes extradata;
    std::vector<Bytes> packets;
    std::vector<bool> keys;
};

Demuxed demux(const fs::path& file) {
    Demuxed out;
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, file.c_str(), nullptr, nullptr) < 0) return out;
    if (avformat_find_stream_info(context, nullptr) >= 0) {
        const AVCodecParameters* p = context->streams[0]->codecpar;
        out.extradata.assign(p->extradata, p->extradata + p->extradata_size);
        AVPacket* packet = av_packet_alloc();
        while (av_read_frame(context, packet) >= 0) {
            if (packet->stream_index == 0) {
                out.packets.emplace_back(packet->data, packet->data + packet->size);
                out.keys.push_back(packet->flags & AV_PKT_FLAG_KEY);
            }
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
    }
    avformat_close_input(&context);
    return out;
}

// A stream encoded straight into the container, with B-frames so that
// decode and presentation order differ.
fs::path fixture(const fs::path& folder, const std::string& name, const std::string& encoder) {
    const fs::path out = folder / name;
    korvel::testing::runCommand("timeout 120 ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=30 -t 1 "
                                "-pix_fmt yuv420p " + encoder + " '" + out.string() + "'");
    return out;
}

} // namespace

TEST(AnnexBAgreement, RecordsAndSamplesMatchFFmpegsMovieMuxer) {
    const std::string x264 = "-c:v libx264 -preset veryfast -profile:v high -bf 2";
    const std::string x265 = "-c:v libx265 -preset veryfast -x265-params log-level=none:bframes=2";
    struct Case {
        std::string file;
        std::string encoder;
        AnnexB::Codec codec;
    };
    const Case cases[] = {
        {"h264.ts", x264, AnnexB::Codec::h264},
        {"hevc.ts", x265, AnnexB::Codec::hevc},
        {"h264.mkv", x264, AnnexB::Codec::h264},
        {"hevc.mkv", x265, AnnexB::Codec::hevc},
    };
    const fs::path folder = fs::path(KORVEL_TEST_TMP) / ("annexb-" + std::to_string(getpid()));
    fs::create_directories(folder);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path source = fixture(folder, c.file, c.encoder);
        const fs::path movie = source.string() + ".mp4";
        const std::string tag = c.codec == AnnexB::Codec::hevc ? "-tag:v hvc1 " : "";
        ASSERT_TRUE(korvel::testing::runCommand("timeout 120 ffmpeg -nostdin -v error -y -i '" + source.string() + "' -c copy " +
                                        tag + "'" + movie.string() + "'"));
        const Demuxed in = demux(source), expected = demux(movie);
        ASSERT_GE(in.packets.size(), 30u);
        ASSERT_EQ(in.packets.size(), expected.packets.size());
        ASSERT_TRUE(in.keys[0]);

        std::optional<int> lengthSize;
        std::vector<AnnexB::Unit> parameterSets;
        if (AnnexB::isConfigurationRecord(in.extradata, c.codec)) {
            lengthSize = AnnexB::recordLengthSize(in.extradata, c.codec);
            parameterSets = *AnnexB::recordUnits(in.extradata, c.codec);
        } else {
            EXPECT_TRUE(AnnexB::startsWithStartCode(in.packets[0]));
            parameterSets = AnnexB::units(in.packets[0]);
        }
        const auto built = AnnexB::configuration(parameterSets, c.codec);
        ASSERT_TRUE(built);
        if (lengthSize && c.codec == AnnexB::Codec::hevc) {
            // The muxer copies a record it is handed, here the encoder's,
            // which also lists its SEI; the fields before the arrays agree.
            constexpr size_t fields = 22;
            EXPECT_EQ(Bytes(built->begin(), built->begin() + fields),
                      Bytes(expected.extradata.begin(), expected.extradata.begin() + fields));
        } else {
            EXPECT_EQ(*built, expected.extradata);
        }
        for (size_t i = 0; i < in.packets.size(); ++i) {
            ASSERT_EQ(AnnexB::sampleWithFourByteLengths(in.packets[i], lengthSize), expected.packets[i]) << "sample " << i;
        }
    }
    fs::remove_all(folder);
}
