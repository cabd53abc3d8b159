// Loudness and true peak of real speech against libebur128. The speech is
// made at test time with espeak-ng and brought to 48 kHz float by ffmpeg.

#include "Core/Audio/LoudnessProfile.hpp"
#include "Core/Audio/PCMAudio.hpp"
#include "Core/Audio/TruePeak.hpp"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

using namespace korvel;
namespace fs = std::filesystem;

namespace {

// The samples of a 32-bit float WAV file, one vector per channel.
PCMAudio readFloatWav(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto u32 = [&](size_t at) {
        uint32_t v;
        std::memcpy(&v, bytes.data() + at, 4);
        return v;
    };
    auto u16 = [&](size_t at) {
        uint16_t v;
        std::memcpy(&v, bytes.data() + at, 2);
        return v;
    };
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) return {};
    unsigned channels = 0;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        const std::string id = bytes.substr(at, 4);
        const size_t size = u32(at + 4);
        if (id == "fmt ") {
            channels = u16(at + 10);
            EXPECT_EQ(u32(at + 12), 48000u);
            EXPECT_EQ(u16(at + 22), 32);
        } else if (id == "data" && channels > 0) {
            const size_t frames = std::min(size, bytes.size() - at - 8) / (4 * channels);
            PCMAudio audio(std::vector<std::vector<float>>(channels, std::vector<float>(frames)));
            for (size_t i = 0; i < frames; ++i)
                for (unsigned c = 0; c < channels; ++c)
                    std::memcpy(&audio.channels[c][i], bytes.data() + at + 8 + 4 * (i * channels + c), 4);
            return audio;
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

void expectAgreement(const std::string& what, const PCMAudio& audio) {
    const unsigned channels = static_cast<unsigned>(audio.channelCount());
    ebur128_state* st = ebur128_init(channels, 48000, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    std::vector<float> interleaved(static_cast<size_t>(audio.frameCount()) * channels);
    for (size_t i = 0; i < static_cast<size_t>(audio.frameCount()); ++i)
        for (unsigned c = 0; c < channels; ++c) interleaved[i * channels + c] = audio.channels[c][i];
    ebur128_add_frames_float(st, interleaved.data(), static_cast<size_t>(audio.frameCount()));
    double lufs = 0, peak = 0;
    ebur128_loudness_global(st, &lufs);
    for (unsigned c = 0; c < channels; ++c) {
        double p = 0;
        ebur128_true_peak(st, c, &p);
        peak = std::max(peak, p);
    }
    ebur128_destroy(&st);
    EXPECT_NEAR(Loudness::integrated(audio), lufs, 0.1) << what;
    EXPECT_NEAR(TruePeak::measureDb(audio), 20 * std::log10(peak), 0.2) << what;
}

class SpeechLoudness : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::path(KORVEL_TEST_TMP) / ("speech-loudness-" + std::to_string(getpid()));
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    // Speech at 48 kHz float; `filter` is an ffmpeg audio filter applied on the way.
    PCMAudio speech(const std::string& name, const std::string& text, const std::string& voice, const std::string& filter) {
        const fs::path raw = folder_ / (name + "-espeak.wav");
        const fs::path wav = folder_ / (name + ".wav");
        const std::string make = "espeak-ng -v " + voice + " -w '" + raw.string() + "' \"" + text + "\" 2>/dev/null";
        if (std::system(make.c_str()) != 0) return {};
        const std::string convert = "ffmpeg -nostdin -loglevel error -y -i '" + raw.string() + "' -af '" + filter +
                                    "' -ar 48000 -c:a pcm_f32le '" + wav.string() + "'";
        if (std::system(convert.c_str()) != 0) return {};
        return readFloatWav(wav);
    }

    fs::path folder_;
};

} // namespace

TEST_F(SpeechLoudness, SpokenSentencesAgreeWithLibebur128) {
    const std::string text =
        "The quick brown fox jumps over the lazy dog. Meanwhile, seven quiet engineers measured the loudness of "
        "every sentence they recorded, and compared the numbers twice.";
    struct Case {
        const char* name;
        const char* voice;
        const char* filter;
    } cases[] = {
        {"plain", "en", "anull"},
        {"quiet", "en+f3", "volume=-24dB"},
        {"stereo", "en-us", "pan=stereo|c0=c0|c1=0.6*c0,adelay=0|13"},
        {"loud", "de", "volume=6dB"},
    };
    for (const auto& c : cases) {
        const PCMAudio audio = speech(c.name, text, c.voice, c.filter);
        ASSERT_GT(audio.frameCount(), 48000 * 3) << c.name;
        expectAgreement(c.name, audio);
    }
}
