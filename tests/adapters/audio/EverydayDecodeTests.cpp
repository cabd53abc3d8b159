// The decoder on everyday sources held against ffmpeg's own decode: no lag,
// the same length, and the same sound whether it is read whole or streamed.
// Also samples that are not numbers, and the AAC encoder's failure wording.

#include "Adapters/Audio/AACStreamEncoder.hpp"
#include "Adapters/Audio/AudioDecoder.hpp"
#include "Adapters/Audio/EncodedPeak.hpp"
#include "tests/support/EverydayMedia.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <unistd.h>

using namespace korvel;
using namespace korvel::testing;
namespace fs = std::filesystem;

namespace {

const fs::path& folder() {
    static const fs::path f = [] {
        fs::path p = fs::path(KORVEL_TEST_TMP) / ("everyday-decode-" + std::to_string(::getpid()));
        fs::remove_all(p);
        fs::create_directories(p);
        return p;
    }();
    return f;
}

std::vector<std::vector<float>> streamed(const fs::path& file, int channels) {
    std::vector<std::vector<float>> out(static_cast<size_t>(channels));
    AudioDecoder::stream(file, channels, JobContext::silent(), [&](const std::vector<std::span<const float>>& piece) {
        EXPECT_EQ(piece.size(), out.size());
        for (size_t c = 0; c < piece.size() && c < out.size(); ++c) out[c].insert(out[c].end(), piece[c].begin(), piece[c].end());
    });
    return out;
}

EngineFailure failureOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const EngineFailure& f) {
        return f;
    } catch (const std::exception& e) {
        return EngineFailure(0, std::string("not an engine failure: ") + e.what());
    }
    return EngineFailure(0, "no failure");
}

// A mono 32-bit float WAV of these samples at 48 kHz.
void writeFloatWav(const fs::path& file, const std::vector<float>& samples) {
    std::ofstream out(file, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const auto bytes = static_cast<uint32_t>(samples.size() * 4);
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(3);
    u16(1);
    u32(48000);
    u32(48000 * 4);
    u16(4);
    u16(32);
    out.write("data", 4);
    u32(bytes);
    out.write(reinterpret_cast<const char*>(samples.data()), bytes);
}

class EverydayDecode : public ::testing::TestWithParam<EverydaySource> {};

} // namespace

TEST_P(EverydayDecode, StartsWithFfmpegsDecodeAndStreamsWhatItReads) {
    const auto file = everydayFile(GetParam(), folder());
    ASSERT_TRUE(file) << GetParam().name;
    const ToolDecode tool = decodedByFFmpeg(*file);
    ASSERT_GT(tool.frames(), 0);

    const PCMAudio mono = AudioDecoder::read(*file, 1, JobContext::silent());
    ASSERT_EQ(mono.channelCount(), 1);
    // ffmpeg keeps an MP3's and an Opus stream's decoded tail; the sound is 4 s.
    EXPECT_NEAR(static_cast<double>(mono.frameCount()), static_cast<double>(tool.frames()), 2400);
    EXPECT_NEAR(static_cast<double>(mono.frameCount()), 4.0 * 48000, 2400);
    const std::vector<float> reference = tool.mono();
    EXPECT_EQ(bestLag(mono.channels[0], reference, 4800, 4800 + 48000, 2048), 0);
    // The same samples, to the resamplers' small differences.
    double error = 0, power = 0;
    for (int64_t i = 4800; i < 4800 + 48000; ++i) {
        const double d = double(mono.channels[0][static_cast<size_t>(i)]) - reference[static_cast<size_t>(i)];
        error += d * d;
        power += double(reference[static_cast<size_t>(i)]) * reference[static_cast<size_t>(i)];
    }
    EXPECT_LT(error, power * 1e-3);

    // One decode serves whole reads and streamed pieces alike.
    EXPECT_EQ(streamed(*file, 1), mono.channels);
    EXPECT_EQ(streamed(*file, 2), AudioDecoder::read(*file, 2, JobContext::silent()).channels);
}

INSTANTIATE_TEST_SUITE_P(Sources, EverydayDecode, ::testing::ValuesIn(everydaySources()),
                         [](const auto& info) { return info.param.name; });

TEST(AudioDecoder, SamplesThatAreNotNumbersBecomeSilence) {
    std::vector<float> samples(48000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = 0.25f * std::sin(0.05f * float(i));
    const size_t nan = 1000, inf = 20000, negative = 30000;
    samples[nan] = std::numeric_limits<float>::quiet_NaN();
    samples[inf] = std::numeric_limits<float>::infinity();
    samples[negative] = -std::numeric_limits<float>::infinity();
    const fs::path file = folder() / "not-numbers.wav";
    writeFloatWav(file, samples);

    for (int channels : {1, 2}) {
        const PCMAudio read = AudioDecoder::read(file, channels, JobContext::silent());
        ASSERT_EQ(read.frameCount(), 48000);
        for (const auto& channel : read.channels) {
            for (size_t i = 0; i < channel.size(); ++i) {
                ASSERT_TRUE(std::isfinite(channel[i])) << i;
                const float expected = (i == nan || i == inf || i == negative) ? 0.0f : samples[i];
                ASSERT_EQ(channel[i], expected) << i;
            }
        }
        EXPECT_EQ(streamed(file, channels), read.channels);
    }
    // Through the resampler too.
    for (float s : AudioDecoder::readMono(file, 16000, JobContext::silent())) ASSERT_TRUE(std::isfinite(s));
}

TEST(AACEncoding, FailuresSayAACEncodingFailedInTheEnginesWords) {
    // FFmpeg's AAC encoder refuses a sound that holds a NaN.
    PCMAudio poisoned(std::vector<std::vector<float>>(2, std::vector<float>(48000, 0.1f)));
    poisoned.channels[1][12345] = std::numeric_limits<float>::quiet_NaN();
    const std::function<void()> roads[] = {
        [&] { AACStreamEncoder::encode(poisoned, AACStreamEncoder::previewBitRate); },
        [&] { EncodedPeak::measureDb(poisoned, 256000); },
    };
    for (const auto& road : roads) {
        const EngineFailure f = failureOf(road);
        EXPECT_EQ(f.code, -32603) << f.message;
        EXPECT_EQ(f.message, "AAC encoding failed: the encoder refused the sound.");
    }
}
