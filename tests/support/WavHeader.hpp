#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

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

} // namespace korvel::testing
