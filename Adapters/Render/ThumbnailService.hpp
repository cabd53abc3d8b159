#pragma once

#include "Adapters/Render/Drawing/Picture.hpp"
#include "Adapters/Media/SourceLibrary.hpp"
#include "Core/Wire/AssetMethodTypes.hpp"

#include <filesystem>
#include <memory>
#include <optional>

namespace korvel {

// asset.thumbnail: one picture of a source (the frame on screen at a time,
// or the still image), scaled to a bound and written as JPEG, PNG or HEIC.
struct ThumbnailService {
    std::shared_ptr<SourceLibrary> library;

    ThumbnailService() : library(std::make_shared<SourceLibrary>()) {}
    explicit ThumbnailService(std::shared_ptr<SourceLibrary> library) : library(std::move(library)) {}

    ThumbnailResult thumbnail(const ThumbnailParams& params) const;

    static std::optional<Picture> still(const std::filesystem::path& location, int64_t longEdge);
};

} // namespace korvel
