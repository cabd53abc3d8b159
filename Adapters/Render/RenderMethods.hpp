#pragma once

#include "Adapters/Render/SourceLibrary.hpp"
#include "Adapters/Text/TextCaches.hpp"
#include "Core/Jobs.hpp"

#include <filesystem>
#include <map>
#include <memory>
#include <string>

namespace korvel {

namespace RenderMethods {
// The render side's method table. Building it sweeps what dead processes
// left in the output journal under the cache root.
std::map<std::string, Job, std::less<>> table(const std::filesystem::path& cacheRoot,
                                              std::shared_ptr<SourceLibrary> library, TextCaches text);
} // namespace RenderMethods

} // namespace korvel
