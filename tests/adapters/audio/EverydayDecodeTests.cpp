// The decoder on everyday sources held against ffmpeg's own decode: no lag,
// the same length, and the same sound whether it is read whole or streamed.
// Also samples that are not numbers, and the AAC encoder's failure wording.

#include "Adapters/Audio/AACStreamEncoder.hpp"
#include "Adapters/Audio/AudioDecoder.hpp"
#include "Adapters/Audio/EncodedPeak.hpp"
#include "tests/support/ClickedCounter.hpp"
#include "tests/support/EverydayMedia.hpp"
#include "tests/support/WavHeader.hpp"

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

TEST(AudioDecoder, SoundBesideAPictureStartsAtItsFirstShownFrame) {
    for (const auto& clip : ClickedCounter::clips()) {
        const fs::path file = folder() / clip.file;
        ASSERT_TRUE(ClickedCounter::make(file, clip)) << clip.name;
        // All of the sound, past the picture too.
        const std::vector<int> frames = ClickedCounter::clickedFrames(clip, 5'000'000);
        // At the transcriber's rate too, where the sound is cut after the resampler.
        for (int rate : {48000, 16000}) {
            const std::vector<float> sound = AudioDecoder::readMono(file, rate, JobContext::silent());
            EXPECT_NEAR(double(sound.size()), (clip.soundStart + ClickedCounter::lengthSeconds) * rate, 0.05 * rate)
                << clip.name << " at " << rate;
            const std::vector<int64_t> heard = ClickedCounter::onsets(sound, rate);
            ASSERT_EQ(heard.size(), frames.size()) << clip.name << " at " << rate;
            for (size_t k = 0; k < frames.size(); ++k) {
                EXPECT_NEAR(double(heard[k]), double(ClickedCounter::clickOf(frames[k], rate)),
                            double(ClickedCounter::toleranceFrames * rate / 48000))
                    << clip.name << " at " << rate << ": frame " << frames[k];
            }
        }
        EXPECT_EQ(streamed(file, 2), AudioDecoder::read(file, 2, JobContext::silent()).channels) << clip.name;
    }
}

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

namespace {

fs::path madeWith(const std::string& name, const std::string& input, const std::string& options) {
    const fs::path out = folder() / name;
    if (!fs::exists(out)) {
        EXPECT_TRUE(runCommand("ffmpeg -nostdin -v error -y " + input + " " + options + " '" + out.string() + "'")) << name;
    }
    return out;
}

// ffmpeg's decode of the file with `channels` channels at 48 kHz, planar.
std::vector<std::vector<float>> toolDecode(const fs::path& file, int channels) {
    const auto bytes = runCommand("ffmpeg -nostdin -v error -i '" + file.string() + "' -map 0:a:0 -f f32le -ac " +
                                  std::to_string(channels) + " -ar 48000 -");
    if (!bytes) return {};
    const size_t frames = bytes->size() / 4 / static_cast<size_t>(channels);
    std::vector<std::vector<float>> planes(static_cast<size_t>(channels), std::vector<float>(frames));
    for (size_t i = 0; i < frames; ++i)
        for (size_t c = 0; c < planes.size(); ++c)
            std::memcpy(&planes[c][i], bytes->data() + (i * planes.size() + c) * 4, 4);
    return planes;
}

double rms(const std::vector<float>& x, int64_t from, int64_t to) {
    double sum = 0;
    for (int64_t i = from; i < to; ++i) sum += double(x[static_cast<size_t>(i)]) * x[static_cast<size_t>(i)];
    return std::sqrt(sum / double(to - from));
}

struct Codec {
    std::string name;
    std::string extension;
    std::string options;
};

} // namespace

TEST(AudioDecoder, HeldSampleExactToFFmpegsDecodeAcrossTheWholeSound) {
    // The chirp's silences make Vorbis switch block sizes, where its packets'
    // stamps run ahead of the samples delivered.
    const Codec codecs[] = {
        {"vorbis", "ogg", "-c:a libvorbis"},
        {"opus", "opus", "-c:a libopus -b:a 96k"},
        {"mp3", "mp3", "-c:a libmp3lame -b:a 128k"},
        {"flac", "flac", "-c:a flac"},
    };
    for (const Codec& codec : codecs) {
        for (int rate : {48000, 44100}) {
            const std::string name = codec.name + "-" + std::to_string(rate);
            if (codec.name == "opus" && rate != 48000) continue;
            const fs::path file = madeWith(name + "." + codec.extension, EverydaySound::lavfi(rate, 2), codec.options);
            const auto theirs = toolDecode(file, 2);
            ASSERT_EQ(theirs.size(), 2u) << name;
            const PCMAudio ours = AudioDecoder::read(file, 2, JobContext::silent());
            // ffmpeg keeps an MP3's and an Opus stream's decoded tail.
            ASSERT_NEAR(double(ours.frameCount()), double(theirs[0].size()), 2400) << name;
            const auto frames = static_cast<size_t>(std::min<int64_t>(ours.frameCount(), int64_t(theirs[0].size())));
            if (rate == 48000) {
                // No resampler between them: the very samples.
                for (size_t c = 0; c < 2; ++c) {
                    size_t first = frames;
                    for (size_t i = 0; i < frames && first == frames; ++i)
                        if (ours.channels[c][i] != theirs[c][i]) first = i;
                    EXPECT_EQ(first, frames) << name << " channel " << c << " differs from sample " << first;
                }
            } else {
                // The resamplers differ; the sound lines up before and after every block switch.
                for (int64_t from : {4800, 2 * 48000 + 28800, 3 * 48000 + 9600})
                    EXPECT_EQ(bestLag(ours.channels[0], theirs[0], from, from + 19200, 2048), 0) << name << " at " << from;
            }
        }
    }
}

TEST(AudioDecoder, ALayoutOrRateChangeGoesOnInTheFirstLayout) {
    // One second of stereo (the right at 0.8 of the left) then one of mono,
    // or the other way round, joined byte for byte as a cat would.
    auto stereoAt = [](int rate) {
        return "-f lavfi -i \"aevalsrc='0.3*sin(2*PI*440*t)|0.24*sin(2*PI*440*t)':s=" + std::to_string(rate) + ":d=1\"";
    };
    const std::string mono = "-f lavfi -i \"aevalsrc='0.3*sin(2*PI*660*t)':s=48000:d=1\"";
    struct Case {
        Codec codec;
        bool stereoFirst;
        int stereoRate = 48000;
    } cases[] = {
        {{"adts", "aac", "-c:a aac -f adts"}, true},
        {{"mp3", "mp3", "-c:a libmp3lame -b:a 128k"}, true},
        {{"adts-up", "aac", "-c:a aac -f adts"}, false},
        {{"flac", "flac", "-c:a flac"}, true},
        // A raw stream stamps every packet at its first rate.
        {{"adts-rate", "aac", "-c:a aac -f adts"}, true, 44100},
    };
    for (const Case& c : cases) {
        const std::string& name = c.codec.name;
        const std::string stereo = stereoAt(c.stereoRate);
        const fs::path a = madeWith(name + "-a." + c.codec.extension, c.stereoFirst ? stereo : mono, c.codec.options);
        const fs::path b = madeWith(name + "-b." + c.codec.extension, c.stereoFirst ? mono : stereo, c.codec.options);
        const fs::path joined = folder() / ("joined-" + name + "." + c.codec.extension);
        ASSERT_TRUE(runCommand("cat '" + a.string() + "' '" + b.string() + "' > '" + joined.string() + "'"));
        for (int channels : {1, 2}) {
            const PCMAudio read = AudioDecoder::read(joined, channels, JobContext::silent());
            ASSERT_EQ(read.channelCount(), channels) << name;
            ASSERT_NEAR(double(read.frameCount()), 96000, 4800) << name;
            const int64_t first = 14400, second = 48000 + 14400, span = 19200;
            // Both halves sound, the second as loud as it was made.
            const double stereoLeft = 0.3 / std::sqrt(2.0), folded = 0.27 / std::sqrt(2.0);
            const double expectFirst = c.stereoFirst ? (channels == 1 ? folded : stereoLeft) : stereoLeft;
            const double expectSecond = c.stereoFirst ? stereoLeft : (channels == 1 ? folded : stereoLeft);
            EXPECT_NEAR(rms(read.channels[0], first, first + span), expectFirst, 0.03) << name << " " << channels;
            EXPECT_NEAR(rms(read.channels[0], second, second + span), expectSecond, 0.03) << name << " " << channels;
            if (channels == 2) {
                // The mono part is heard in both ears, the stereo part as it is.
                const int64_t monoAt = c.stereoFirst ? second : first, stereoAt = c.stereoFirst ? first : second;
                EXPECT_NEAR(rms(read.channels[1], monoAt, monoAt + span), rms(read.channels[0], monoAt, monoAt + span),
                            1e-6) << name;
                EXPECT_NEAR(rms(read.channels[1], stereoAt, stereoAt + span),
                            0.8 * rms(read.channels[0], stereoAt, stereoAt + span), 0.02) << name;
            }
            EXPECT_EQ(streamed(joined, channels), read.channels) << name;
        }
    }
}

TEST(AudioDecoder, LoudSamplesAreBoundedAndTwentyFourBitSamplesExact) {
    std::vector<float> samples(48000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = 0.25f * std::sin(0.05f * float(i));
    struct Loud {
        size_t at;
        float value;
    } louds[] = {{1000, 1e30f}, {2000, 1e20f}, {3000, -3e38f}, {4000, 3.0f}, {5000, -1e5f}};
    for (const auto& l : louds) samples[l.at] = l.value;
    const fs::path file = folder() / "loud.wav";
    writeHandWav(file, 48000, 1, samples, WavSamples::float32);
    for (int channels : {1, 2}) {
        const PCMAudio read = AudioDecoder::read(file, channels, JobContext::silent());
        ASSERT_EQ(read.frameCount(), 48000);
        float peak = 0;
        for (const auto& channel : read.channels)
            for (float x : channel) peak = std::max(peak, std::isfinite(x) ? std::fabs(x) : INFINITY);
        EXPECT_LE(peak, 16.0f);
        EXPECT_GE(peak, 8.0f) << "the loud samples stay loud";
        // An over of a real master passes as it is; the rest as it was.
        EXPECT_EQ(read.channels[0][4000], 3.0f);
        EXPECT_EQ(read.channels[0][999], samples[999]);
        EXPECT_EQ(streamed(file, channels), read.channels);
    }
    // Through the resampler too.
    for (float s : AudioDecoder::readMono(file, 16000, JobContext::silent())) ASSERT_LE(std::fabs(s), 16.0f);

    // Extensible WAV with 24 valid bits in 32-bit containers.
    std::vector<float> quiet(samples.begin(), samples.begin() + 900);
    const fs::path wide = folder() / "wide.wav";
    writeHandWav(wide, 48000, 1, quiet, WavSamples::int24In32);
    const PCMAudio read = AudioDecoder::read(wide, 1, JobContext::silent());
    ASSERT_EQ(read.frameCount(), 900);
    for (size_t i = 0; i < quiet.size(); ++i) ASSERT_NEAR(read.channels[0][i], quiet[i], 1.0 / 8388607) << i;
}

TEST(AudioDecoder, RatesFarFromRealSoundAreRefused) {
    // 4800 samples: under 10 KB, hours of sound at 1 Hz.
    std::vector<float> samples(4800);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = 0.25f * std::sin(0.05f * float(i));
    const fs::path flac = madeWith("rate.flac", "-f lavfi -i sine=f=440:sample_rate=8000:d=1", "-c:a flac");
    // STREAMINFO's rate: the 20 bits after the block sizes and frame sizes.
    const fs::path slowFlac = folder() / "rate-1.flac";
    {
        std::ifstream in(flac, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        ASSERT_EQ(bytes.substr(0, 4), "fLaC");
        const uint32_t rate = 1;
        bytes[18] = char(rate >> 12);
        bytes[19] = char((rate >> 4) & 0xFF);
        bytes[20] = char(((rate & 0xF) << 4) | (uint8_t(bytes[20]) & 0xF));
        std::ofstream(slowFlac, std::ios::binary) << bytes;
    }
    struct Case {
        fs::path file;
        bool readable;
    };
    std::vector<Case> cases{{slowFlac, false}};
    for (uint32_t rate : {1u, 128u, 1000u, 1999u, 1'000'000u, 2000u, 8000u, 768'000u}) {
        const fs::path file = folder() / ("rate-" + std::to_string(rate) + ".wav");
        writeHandWav(file, rate, 1, samples, WavSamples::int16);
        cases.push_back({file, rate >= 2000 && rate <= 768'000});
    }
    for (const Case& c : cases) {
        const std::function<void()> roads[] = {
            [&] { AudioDecoder::read(c.file, 2, JobContext::silent()); },
            [&] { AudioDecoder::readMono(c.file, 16000, JobContext::silent()); },
            [&] { streamed(c.file, 1); },
        };
        for (const auto& road : roads) {
            const EngineFailure f = failureOf(road);
            if (c.readable) {
                EXPECT_EQ(f.message, "no failure") << c.file;
            } else {
                EXPECT_EQ(f.code, -32002) << c.file << ": " << f.message;
                EXPECT_EQ(f.message, "This audio track cannot be read.") << c.file;
            }
        }
    }
}

TEST(AudioDecoder, SamplesPlacedPastTheEndOfAMovieAreAFileCutShort) {
    const fs::path whole = madeWith("whole.m4a", "-f lavfi -i sine=f=440:sample_rate=48000:d=4",
                                    "-c:a aac -movflags +faststart");
    std::ifstream in(whole, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    // Every chunk offset moved 10 MB on, past the end of the file.
    std::string moved = bytes;
    const size_t stco = moved.find("stco");
    ASSERT_NE(stco, std::string::npos);
    auto be32 = [&](size_t at) {
        return uint32_t(uint8_t(moved[at])) << 24 | uint32_t(uint8_t(moved[at + 1])) << 16 |
               uint32_t(uint8_t(moved[at + 2])) << 8 | uint32_t(uint8_t(moved[at + 3]));
    };
    for (uint32_t i = 0, n = be32(stco + 8); i < n; ++i) {
        const size_t at = stco + 12 + 4 * i;
        const uint32_t v = be32(at) + 10'000'000;
        for (int k = 0; k < 4; ++k) moved[at + k] = char(v >> (24 - 8 * k));
    }
    const fs::path past = folder() / "past.m4a", cut = folder() / "cut.m4a";
    std::ofstream(past, std::ios::binary) << moved;
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() * 2 / 3);
    for (const fs::path& file : {past, cut}) {
        const std::function<void()> roads[] = {
            [&] { AudioDecoder::read(file, 2, JobContext::silent()); },
            [&] { AudioDecoder::readMono(file, 16000, JobContext::silent()); },
            [&] { streamed(file, 1); },
        };
        for (const auto& road : roads) {
            const EngineFailure f = failureOf(road);
            EXPECT_EQ(f.code, -32002) << file << ": " << f.message;
            EXPECT_EQ(f.message, file.filename().string() + " is cut short or damaged, so its end can't be read.");
        }
    }
}
