#pragma once

#include "Core/Container/MovieBox.hpp"

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace korvel {

class MovieFile;

// Reads stored sample bytes straight from a file.
namespace StoredSamples {
struct Entry {
    int64_t offset = 0;
    int64_t size = 0;
};

// The bytes of every entry, in order; contiguous entries are read at once.
// Throws EngineFailure: -32001 "<name> can't be read." when the file can't
// be opened or read, -32002 "<name> is cut short or damaged, so its end
// can't be read." when it ends before an entry does.
std::vector<uint8_t> read(std::span<const Entry> entries, const std::filesystem::path& url);
// The same on a file already open.
std::vector<uint8_t> read(std::span<const Entry> entries, const MovieFile& file);
// The same into `into`, which holds exactly the entries' bytes (see size).
void read(std::span<const Entry> entries, const MovieFile& file, std::span<uint8_t> into);
// Throws as read does for an entry whose bytes end past the file's end.
void checkWithin(const Entry& entry, const MovieFile& file);
// Copies an entry's bytes to `at` in the file open for writing as `fd`.
// Throws as read does, and SystemError when the writing fails.
void copy(const Entry& entry, const MovieFile& file, int fd, int64_t at);
// The entries' bytes together; throws as read does for sizes no file of
// that length holds.
int64_t size(std::span<const Entry> entries, const MovieFile& file);

// Whether a sample's bytes lie in the track's own file rather than in a
// file it refers to.
bool isStored(const MovieTrack& track, const MovieSample& sample);
} // namespace StoredSamples

} // namespace korvel
