#pragma once

#include "Adapters/Media/SourceLibrary.hpp"
#include "Core/Wire/AssetMethodTypes.hpp"

#include <memory>

namespace korvel {

class MediaAsset;

// asset.probe: what a media file is, how long, how large, how fast, whether
// it has sound, its colours and its content hash.
struct ProbeService {
    std::shared_ptr<SourceLibrary> library;

    ProbeService() : library(std::make_shared<SourceLibrary>()) {}
    explicit ProbeService(std::shared_ptr<SourceLibrary> library) : library(std::move(library)) {}

    // Throws EngineFailure or the library's failures.
    ProbeResult probe(const ProbeParams& params) const;

    // The branch for files with sound and no picture.
    static ProbeResult audioFile(const MediaAsset& asset, size_t track, const std::string& hash);
    // Whether the last 0.25 s of a sound track decode.
    static bool endDecodes(const MediaAsset& asset, size_t track);
};

} // namespace korvel
