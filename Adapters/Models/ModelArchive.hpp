#pragma once

#include <cstdint>
#include <filesystem>

namespace korvel {

// Unpacks a model's zip archive into a folder. Every entry must be a relative
// path without "..", a regular file or a folder, new in the folder; the
// number of entries and the unpacked bytes are capped. Anything else is the
// unpack failure, and nothing is written outside the folder.
namespace ModelArchive {

struct Limits {
    int64_t entries = 10'000;
    int64_t bytes = int64_t{4} << 30;
};

// Throws EngineFailure -32603 "The model archive could not be unpacked.",
// the disk's write failures, and Cancelled.
void unzip(const std::filesystem::path& archive, const std::filesystem::path& into, const Limits& limits = {});

} // namespace ModelArchive
} // namespace korvel
