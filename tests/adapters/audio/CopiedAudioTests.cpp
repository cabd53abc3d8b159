// A source's own AAC packets cut into audio segments without re-encoding.

#include "Adapters/Audio/AudioDecoder.hpp"
#include "Adapters/Audio/AudioFileWriter.hpp"
#include "Adapters/Render/Sources/CopiedAudioReader.hpp"
#include "tests/support/Shell.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <unistd.h>

using namespace korvel;
using korvel::testing::runCommand;
namespace fs = std::filesystem;

namespace {

fs::path folder() {
    static fs::path f = [] {
        fs::path p = fs::path(KORVEL_TEST_TMP) / ("copied-" + std::to_string(::getpid()));
        fs::remove_all(p);
        fs::create_directories(p);
        return p;
    }();
    return f;
}

fs::path made(const std::string& name, const std::string& args) {
    const fs::path out = folder() / name;
    if (!fs::exists(out)) {
        EXPECT_TRUE(runCommand("ffmpeg -nostdin -v error -y " + args + " '" + out.string() + "'"));
    }
    return out;
}

fs::path aac() { return made("tone.m4a", "-f lavfi -i sine=f=330:sample_rate=48000:d=3 -c:a aac -b:a 128k"); }

} // namespace

TEST(CopiedAudio, IndexesAnAACTrackOnce) {
    const auto audio = CopiedAudioReader::open(aac());
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->format.channelCount, 1);
    EXPECT_EQ(audio->format.sampleRate, 48000);
    EXPECT_GT(audio->format.bitRate, 50000);
    EXPECT_EQ(audio->delayFrames, 1024);
    EXPECT_GE(static_cast<int64_t>(audio->packets.size()) * 1024, 144000);
    EXPECT_TRUE(audio->covers(3'000'000));
    EXPECT_FALSE(audio->covers(4'000'000));
}

TEST(CopiedAudio, FilesWhoseSoundCannotBeCopiedGiveNothing) {
    const fs::path alac = folder() / "lossless.m4a";
    AudioFileWriter::writeLossless(PCMAudio(std::vector<std::vector<float>>(2, std::vector<float>(4800, 0.1f))), alac,
                                   std::nullopt);
    const fs::path cases[] = {
        alac,
        made("six.m4a", "-f lavfi -i sine=d=1 -ac 6 -c:a aac"),
        made("tone.wav", "-f lavfi -i sine=d=1"),
        made("video.mp4", "-f lavfi -i testsrc2=size=64x64:rate=10:duration=1 -c:v libx264 -pix_fmt yuv420p"),
        folder() / "missing.m4a",
    };
    for (const auto& file : cases) EXPECT_FALSE(CopiedAudioReader::open(file)) << file;
}

TEST(CopiedAudio, CoverageAndWindowsFollowThePacketArithmetic) {
    CopiedAudio audio;
    audio.format = {2, 128000, 48000};
    audio.delayFrames = 2112;
    audio.packets.resize(100);
    EXPECT_TRUE(audio.covers(2'110'667));   // 101 312 frames
    EXPECT_FALSE(audio.covers(2'110'688));  // 101 313 frames

    auto real = *CopiedAudioReader::open(aac());
    real.delayFrames = 0;
    real.packets.resize(10);
    try {
        real.fragment(234'667, 300'000); // frame 11 264
        ADD_FAILURE();
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f.code, -32602);
        EXPECT_EQ(f.message, "This audio segment lies past the end of the plan.");
    }
    EXPECT_EQ(real.fragment(213'333, 300'000).packetCount, 1); // frame 10 240
}

TEST(CopiedAudio, SegmentsDecodeToTheSourceWithNoLag) {
    const auto audio = CopiedAudioReader::open(aac());
    ASSERT_TRUE(audio);
    const auto source = AudioDecoder::read(aac(), 1, JobContext::silent()).channels[0];
    const auto fragment = audio->fragment(1'000'000, 2'000'000);
    const fs::path seg = folder() / "copied.m4s";
    {
        FILE* f = std::fopen(seg.c_str(), "wb");
        std::fwrite(fragment.bytes.data(), 1, fragment.bytes.size(), f);
        std::fclose(f);
    }
    auto raw = runCommand("ffmpeg -nostdin -v error -ignore_editlist 1 -i '" + seg.string() + "' -f f32le -");
    ASSERT_TRUE(raw);
    std::vector<float> decoded(raw->size() / 4);
    std::memcpy(decoded.data(), raw->data(), decoded.size() * 4);
    const int64_t ds = 48000 + audio->delayFrames;
    const int64_t skip = ds - (ds / 1024 - 1) * 1024;
    auto correlation = [&](int64_t lag) {
        double xy = 0, xx = 0, yy = 0;
        for (int64_t i = 1000; i < 47000; ++i) {
            const double x = source[static_cast<size_t>(48000 + i)], y = decoded[static_cast<size_t>(skip + i + lag)];
            xy += x * y;
            xx += x * x;
            yy += y * y;
        }
        return xy / std::sqrt(xx * yy);
    };
    int64_t best = 0;
    for (int64_t lag = -32; lag <= 32; ++lag)
        if (correlation(lag) > correlation(best)) best = lag;
    EXPECT_EQ(best, 0);
    EXPECT_GT(correlation(0), 0.99);
}
