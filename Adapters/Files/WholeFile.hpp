#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

namespace korvel::WholeFile {

// Creates or truncates the file and writes every byte; throws SystemError
// (POSIX) naming what failed. Atomicity is the caller's: write into a
// temporary output and commit it.
void write(const std::filesystem::path& file, std::span<const uint8_t> bytes);

// The same into a file already open; the descriptor stays open.
void write(int fd, std::span<const uint8_t> bytes, const std::filesystem::path& file);

} // namespace korvel::WholeFile
