#pragma once

#include "Core/Jobs.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace korvel {

// Rendered preview windows on disk, one folder per render variant:
// <key>.m4s holds the fragment, <key>.json its record. A stored window is
// handed back only when its fingerprint matches and its bytes are complete.
// The folder is the whole state; nothing is ever evicted.
class SegmentCache {
public:
    struct Entry {
        std::string fingerprint;
        int64_t byteLength = 0;
        int64_t frameCount = 0;
        int64_t durationUs = 0;
        int64_t firstPtsUs = 0;

        bool operator==(const Entry&) const = default;
    };

    explicit SegmentCache(std::filesystem::path folder) : folder_(std::move(folder)) {}
    const std::filesystem::path& folder() const { return folder_; }

    // Any failure, a key that is no key included, is a miss.
    std::optional<Entry> entry(std::string_view key, std::string_view fingerprint) const;
    // Copies <key>.m4s to the destination, replacing it atomically; throws EngineFailure.
    void deliver(std::string_view key, const std::filesystem::path& to) const;
    // Writes the bytes, then the record, each atomically; throws EngineFailure.
    void store(std::span<const uint8_t> bytes, std::string_view key, const Entry& entry) const;

    // A key names files in the folder, so it must be exactly a segment key:
    // 64 lowercase hexadecimal characters.
    static bool isKey(std::string_view key);
    // What a request naming such a file with anything else is answered.
    static EngineFailure notAKey();

private:
    std::filesystem::path folder_;
};

} // namespace korvel
