#pragma once

#include "Core/Audio/PCMAudio.hpp"
#include "Core/Audio/PCMSource.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace korvel {

// The one writer of sound files. Every file is written in a temporary
// output and appears at its final path only complete. Errors are thrown as
// they come (SystemError, EngineFailure, Cancelled); the caller words them.
namespace AudioFileWriter {
inline constexpr int64_t chunkFrames = 65'536;

// Float WAV for ".wav" in any case, else 24-bit ALAC in the container the
// extension names.
void writeLossless(const PCMAudio& audio, const std::filesystem::path& final,
                   const std::optional<std::filesystem::path>& journal);
// 32-bit float WAVE, RF64 once the data passes 4 GiB.
void writeWav(const PCMAudio& audio, const std::filesystem::path& final,
              const std::optional<std::filesystem::path>& journal);
// AAC-LC in an MPEG-4 file, for the peak check; no journal.
void writeAAC(const PCMAudio& audio, const std::filesystem::path& final, int64_t bitRate);

// The same files from sound read a block at a time.
void writeLossless(const PCMSource& audio, const std::filesystem::path& final,
                   const std::optional<std::filesystem::path>& journal);
void writeWav(const PCMSource& audio, const std::filesystem::path& final,
              const std::optional<std::filesystem::path>& journal);
void writeAAC(const PCMSource& audio, const std::filesystem::path& final, int64_t bitRate);

// Whether writeLossless can write a file with this name; lower-case
// extensions without the dot.
bool writesLossless(const std::filesystem::path& final);
inline constexpr const char* losslessExtensions = ".wav, .m4a, .mp4, .mov or .caf";
} // namespace AudioFileWriter

} // namespace korvel
