#pragma once

#include "Adapters/Render/Drawing/Picture.hpp"

#include <filesystem>

namespace korvel {

// Writes pictures as JPEG, PNG or HEIC files, chosen by the extension,
// through a temporary output: the final path gets the whole file or nothing.
namespace ImageFiles {
// Throws EngineFailure: -32602 for another extension, or the writing failure.
void write(const Picture& picture, const std::filesystem::path& location);
} // namespace ImageFiles

} // namespace korvel
