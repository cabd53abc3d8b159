#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvel {

// One downloadable model file the engine knows.
struct ModelEntry {
    enum class Archive { none, zip };

    std::string id;
    std::string fileName;
    std::string sha256;
    int64_t byteLength = 0;
    std::string license;
    Archive archive = Archive::none;

    bool operator==(const ModelEntry&) const = default;
};

namespace ModelCatalog {
const ModelEntry& whisperLargeV3();
const ModelEntry& whisperSmallEn();
const ModelEntry& sileroVad();
const ModelEntry& ctcLv60();
// The standalone engine's catalogue: whisper large, voice activity, CTC.
const std::vector<ModelEntry>& all();
} // namespace ModelCatalog

} // namespace korvel
