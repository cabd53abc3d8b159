#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace korvel::FileDigest {
// SHA-256 of a file's bytes, read in 1 MiB chunks with a cancellation check
// per chunk. Throws SystemError for files that can't be read, Cancelled.
std::string sha256(const std::filesystem::path& file);

// The same digest, but only of bytes that were on disk together: the file
// is examined again after each pass and hashed again when it changed
// meanwhile. Nothing when it kept changing for all the attempts. The hook
// runs after each pass (tests change the file there).
std::optional<std::string> sha256IfSteady(const std::filesystem::path& file, int attempts = 3,
                                          const std::function<void()>& afterPass = {});
} // namespace korvel::FileDigest
