#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace korvel {

// Reading what the engine itself left in its caches and models root. Anyone
// may have put something else there: a link, a FIFO, a device, a huge file.
// Such an entry is a miss, never a wait or a read without end; the writers
// replace it where a rename can, like any stale record.
namespace CacheFile {

// No record the engine writes comes near this: the largest, a transcript,
// runs at about 100 bytes a word, a few tens of megabytes for the longest
// sound the engine can hold. Anything larger is not one of ours.
inline constexpr int64_t recordLimit = 64LL << 20;

// The whole file when it is a regular file (not through a link) of at most
// limit bytes; nothing otherwise.
std::optional<std::string> read(const std::filesystem::path& file, int64_t limit = recordLimit);

// The size of a regular file that is not a link; nothing for anything else.
std::optional<int64_t> regularSize(const std::filesystem::path& file);

} // namespace CacheFile

} // namespace korvel
