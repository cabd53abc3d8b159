#pragma once

#include "Core/Jobs.hpp"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// Words file and media errors as one sentence for the user, and logs the
// error chain for the developer.
namespace MediaFailure {

using FreeSpace = std::function<std::optional<int64_t>(const std::filesystem::path&)>;

inline constexpr int64_t lowSpaceBytes = 10'485'760;

struct ChainEntry {
    std::string domain;
    int code = 0;
};

// At most eight entries, the outermost error first.
std::vector<ChainEntry> chain(const std::exception_ptr& error);

// A phrase of our own that names what was written ("The preview"), written
// with the capital that opens a sentence and lowered inside one. A file name
// is passed as plain text and keeps its spelling everywhere.
struct Phrase {
    std::string_view text;
};

EngineFailure writing(const std::exception_ptr& error, std::string_view name,
                      const std::optional<std::filesystem::path>& at = std::nullopt,
                      const FreeSpace& available = {});
EngineFailure writing(const std::exception_ptr& error, Phrase subject,
                      const std::optional<std::filesystem::path>& at = std::nullopt,
                      const FreeSpace& available = {});
EngineFailure reading(const std::exception_ptr& error, std::string_view what);
// What reading answers for a file that is there but does not hold together.
EngineFailure damaged(std::string_view what);
// A file whose tables place samples past its end.
EngineFailure cutShort(const std::filesystem::path& url);

// Free bytes on the volume of the location, or of its nearest existing folder.
std::optional<int64_t> volumeCapacity(const std::filesystem::path& location);

void log(const std::vector<ChainEntry>& chain, std::string_view doing);

} // namespace MediaFailure
} // namespace korvel
