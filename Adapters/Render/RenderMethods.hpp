#pragma once

#include "Adapters/Media/SourceLibrary.hpp"
#include "Adapters/Text/TextCaches.hpp"
#include "Core/Jobs.hpp"

#include <filesystem>
#include <map>
#include <memory>
#include <string>

namespace korvel {

class AudioPlanRenderer;

namespace RenderMethods {
// The render side's method table. Building it sweeps what dead processes
// left in the output journal under the cache root and in the scratch folder.
// `plans` renders the audio track of render.segment; without it such a
// request gets the preview's own sentence for it.
std::map<std::string, Job, std::less<>> table(const std::filesystem::path& cacheRoot,
                                              std::shared_ptr<SourceLibrary> library, TextCaches text,
                                              std::shared_ptr<AudioPlanRenderer> plans = nullptr);
} // namespace RenderMethods

} // namespace korvel
