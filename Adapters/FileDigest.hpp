#pragma once

#include <filesystem>
#include <string>

namespace korvel::FileDigest {
// SHA-256 of a file's bytes, read in 1 MiB chunks with a cancellation check
// per chunk. Throws SystemError for files that can't be read, Cancelled.
std::string sha256(const std::filesystem::path& file);
} // namespace korvel::FileDigest
