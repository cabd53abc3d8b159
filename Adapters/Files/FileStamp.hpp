#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace korvel {

// The cheap identity of a file: enough to tell, without reading it, whether
// a file seen earlier is still the same.
struct FileStamp {
    std::string path;
    int64_t size = 0;
    int64_t modified = INT64_MIN; // nanoseconds since the epoch; the distant past when unknown
    bool isRegularFile = false;

    bool operator==(const FileStamp&) const = default;

    // Nothing when the file's attributes cannot be read.
    static std::optional<FileStamp> of(const std::filesystem::path& location);
};

} // namespace korvel

template <> struct std::hash<korvel::FileStamp> {
    size_t operator()(const korvel::FileStamp& s) const noexcept;
};
