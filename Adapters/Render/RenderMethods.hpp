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
// left in the output journal under the cache root and in the scratch folder.
// `audioSegment` answers render.segment for the audio track; without one
// such a request gets the preview's own sentence for it.
std::map<std::string, Job, std::less<>> table(const std::filesystem::path& cacheRoot,
                                              std::shared_ptr<SourceLibrary> library, TextCaches text,
                                              Job audioSegment = {});
} // namespace RenderMethods

} // namespace korvel
