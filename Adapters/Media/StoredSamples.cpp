#include "Adapters/Media/StoredSamples.hpp"

#include "Adapters/Files/FileName.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Media/MovieFile.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Core/Jobs.hpp"

#include <cerrno>
#include <optional>
#include <stdexcept>

namespace korvel::StoredSamples {

namespace {

EngineFailure unreadable(const std::filesystem::path& url) {
    return EngineFailure::sourceUnavailable(nameOf(url) + " can't be read.");
}

EngineFailure cutShort(const std::filesystem::path& url) { return MediaFailure::cutShort(url); }

} // namespace

int64_t size(std::span<const Entry> entries, const MovieFile& file) {
    const auto& url = file.url();
    int64_t total = 0;
    for (const auto& e : entries) {
        if (e.size < 0 || e.offset < 0) throw cutShort(url);
        // Bytes past the end can't be read, whatever the tables claim; asking
        // for them must not cost memory.
        if (__builtin_add_overflow(total, e.size, &total) || total > file.size()) throw cutShort(url);
    }
    return total;
}

void read(std::span<const Entry> entries, const MovieFile& file, std::span<uint8_t> into) {
    const auto& url = file.url();
    if (static_cast<int64_t>(into.size()) != size(entries, file)) throw std::invalid_argument("stored samples: wrong room");
    size_t at = 0;
    int64_t start = -1, length = 0;
    auto flush = [&] {
        if (length <= 0) return;
        switch (file.read(start, static_cast<size_t>(length), into.data() + at)) {
        case MovieFile::Read::whole: break;
        case MovieFile::Read::short_: throw cutShort(url);
        case MovieFile::Read::failed: throw unreadable(url);
        }
        at += static_cast<size_t>(length);
    };
    for (const auto& e : entries) {
        if (start + length != e.offset) {
            flush();
            start = e.offset;
            length = 0;
        }
        length += e.size;
    }
    flush();
}

void checkWithin(const Entry& entry, const MovieFile& file) {
    int64_t end = 0;
    if (entry.offset < 0 || entry.size < 0 || __builtin_add_overflow(entry.offset, entry.size, &end) || end > file.size()) {
        throw cutShort(file.url());
    }
}

void copy(const Entry& entry, const MovieFile& file, int fd, int64_t at) {
    const auto& url = file.url();
    size(std::span(&entry, 1), file);
    int error = 0;
    switch (file.copy(entry.offset, static_cast<size_t>(entry.size), fd, at, &error)) {
    case MovieFile::Read::whole: return;
    case MovieFile::Read::short_: throw cutShort(url);
    case MovieFile::Read::failed:
        // The copy fails on either side; these are the written file's.
        if (error == ENOSPC || error == EDQUOT || error == EFBIG) throw SystemError::posix(error, "write");
        throw unreadable(url);
    }
}

std::vector<uint8_t> read(std::span<const Entry> entries, const MovieFile& file) {
    std::vector<uint8_t> out(static_cast<size_t>(size(entries, file)));
    read(entries, file, out);
    return out;
}

std::vector<uint8_t> read(std::span<const Entry> entries, const std::filesystem::path& url) {
    std::optional<MovieFile> file;
    try {
        file.emplace(url);
    } catch (...) {
        throw unreadable(url);
    }
    return read(entries, *file);
}

bool isStored(const MovieTrack& track, const MovieSample& sample) {
    if (sample.descriptionIndex >= track.sampleEntries.size()) return false;
    uint16_t reference = track.sampleEntries[sample.descriptionIndex].dataReferenceIndex;
    // Without a data reference box the bytes can only be in this file.
    if (track.dataInFile.empty()) return true;
    if (reference < 1 || reference > track.dataInFile.size()) return false;
    return track.dataInFile[reference - 1];
}

} // namespace korvel::StoredSamples
