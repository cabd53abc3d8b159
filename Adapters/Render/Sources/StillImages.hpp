#pragma once

#include "Adapters/Render/Drawing/Picture.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>

namespace korvel {

// Still pictures read through libvips with an allow-list of loaders: JPEG,
// PNG, HEIF/HEIC, WebP, TIFF and GIF. Every other loader is blocked, so
// hostile files never reach the less careful ones.
namespace StillImages {

// Starts libvips and blocks the other loaders; runs once per process.
void prepare();

struct Properties {
    int64_t width = 0;  // pixels of the first picture, as stored
    int64_t height = 0;
    std::optional<int> orientation;
};

// Nothing when the file is not a picture an allowed loader reads.
std::optional<Properties> properties(const std::filesystem::path& file);

// Picture 0, from the full image, turned upright, scaled down so that its
// longer side is at most `longEdge`. Nothing when the file is not a picture.
std::optional<Picture> thumbnail(const std::filesystem::path& file, int64_t longEdge);

} // namespace StillImages
} // namespace korvel
