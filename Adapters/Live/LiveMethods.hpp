#pragma once

#include "Core/Jobs.hpp"
#include "Adapters/Live/LivePreviewService.hpp"
#include "Adapters/Live/OnceShelf.hpp"

#include <map>
#include <memory>
#include <string>

namespace korvel {

namespace LiveMethods {
// How many live compositions wait on the shelf for the host.
inline constexpr int64_t waitingVideos = 2;

// The single entry "render.live": the composition waits on the shelf and
// the answer names it.
std::map<std::string, Job, std::less<>> table(std::shared_ptr<const LivePreviewService> previews,
                                              std::shared_ptr<OnceShelf<LiveComposition>> videos);
} // namespace LiveMethods

} // namespace korvel
