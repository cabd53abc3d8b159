#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace korvel::testing {

// An 8-bit PCM WAV of silence whose header claims any channel count, which
// the ffmpeg tool would not write.
inline void writeWideWav(const std::filesystem::path& path, uint16_t channels, uint32_t frames) {
    auto le = [](std::string& b, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    const uint32_t data = uint32_t(channels) * frames;
    std::string b = "RIFF";
    le(b, 36 + data, 4);
    b += "WAVEfmt ";
    le(b, 16, 4);
    le(b, 1, 2);
    le(b, channels, 2);
    le(b, 48000, 4);
    le(b, 48000u * channels, 4);
    le(b, channels, 2);
    le(b, 8, 2);
    b += "data";
    le(b, data, 4);
    b.append(data, static_cast<char>(0x80));
    std::ofstream(path, std::ios::binary) << b;
}

// How a hand-written WAV stores its samples.
enum class WavSamples {
    float32,
    int16,
    // WAVE_FORMAT_EXTENSIBLE: 24 valid bits, left-justified in 32-bit containers.
    int24In32,
};

// A WAV of these interleaved samples (full scale 1.0) whose header says any
// rate, which the ffmpeg tool would not write, and float samples of any value.
inline void writeHandWav(const std::filesystem::path& path, uint32_t rate, uint16_t channels,
                         const std::vector<float>& samples, WavSamples kind) {
    auto le = [](std::string& b, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    const uint32_t width = kind == WavSamples::int16 ? 2 : 4;
    const auto data = static_cast<uint32_t>(samples.size() * width);
    const bool extensible = kind == WavSamples::int24In32;
    std::string fmt;
    le(fmt, extensible ? 0xFFFE : kind == WavSamples::float32 ? 3 : 1, 2);
    le(fmt, channels, 2);
    le(fmt, rate, 4);
    le(fmt, rate * channels * width, 4);
    le(fmt, channels * width, 2);
    le(fmt, width * 8, 2);
    if (extensible) {
        le(fmt, 22, 2);
        le(fmt, 24, 2);
        le(fmt, channels == 1 ? 0x4 : 0x3, 4);
        // KSDATAFORMAT_SUBTYPE_PCM
        const unsigned char pcm[16] = {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
        fmt.append(reinterpret_cast<const char*>(pcm), 16);
    }
    std::string b = "RIFF";
    le(b, static_cast<uint32_t>(4 + 8 + fmt.size() + 8 + data), 4);
    b += "WAVEfmt ";
    le(b, static_cast<uint32_t>(fmt.size()), 4);
    b += fmt;
    b += "data";
    le(b, data, 4);
    for (float x : samples) {
        switch (kind) {
        case WavSamples::float32: {
            uint32_t bits;
            std::memcpy(&bits, &x, 4);
            le(b, bits, 4);
            break;
        }
        case WavSamples::int16:
            le(b, static_cast<uint32_t>(static_cast<int32_t>(std::lround(std::clamp(x, -1.0f, 1.0f) * 32767))), 2);
            break;
        case WavSamples::int24In32:
            le(b, static_cast<uint32_t>(static_cast<int32_t>(std::lround(std::clamp(x, -1.0f, 1.0f) * 8388607)) * 256), 4);
            break;
        }
    }
    std::ofstream(path, std::ios::binary) << b;
}

} // namespace korvel::testing
