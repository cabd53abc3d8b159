#pragma once

#include "Core/JSONValue.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// Finished analyses on disk, one "<fingerprint>.json" per record. A record
// answers only when its fingerprint, kind and content hash are the asked
// ones; anything else is treated as absent and measured again.
struct AnalysisCache {
    std::filesystem::path folder;
    std::filesystem::path journal;

    // The record with its assetId set to the asking one's.
    std::optional<JSONValue> load(std::string_view fingerprint, std::string_view kind, std::string_view contentHash,
                                  std::string_view assetId) const;
    // Never fails the request: a record that can't be stored is dropped.
    void store(std::string_view fingerprint, const JSONValue& record) const noexcept;
    std::filesystem::path recordPath(std::string_view fingerprint) const;
};

// Writes bytes to a final path through a temporary output; throws on failure.
void writeThroughTempOutput(const std::filesystem::path& final, const std::optional<std::filesystem::path>& journal,
                            const std::string& bytes);

} // namespace korvel
