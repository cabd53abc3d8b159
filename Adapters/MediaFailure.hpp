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

EngineFailure writing(const std::exception_ptr& error, std::string_view name,
                      const std::optional<std::filesystem::path>& at = std::nullopt,
                      const FreeSpace& available = {});
EngineFailure reading(const std::exception_ptr& error, std::string_view what);

// Free bytes on the volume of the location, or of its nearest existing folder.
std::optional<int64_t> volumeCapacity(const std::filesystem::path& location);

void log(const std::vector<ChainEntry>& chain, std::string_view doing);

} // namespace MediaFailure
} // namespace korvel
