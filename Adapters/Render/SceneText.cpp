#include "Adapters/Render/SceneText.hpp"

#include "Core/Jobs.hpp"

namespace korvel {

SceneText::SceneText(RenderSize size, double unit, std::map<std::string, TextEntrance> entrances,
                     std::shared_ptr<TextCaches> caches)
    : size_(size), unit_(unit), entrances_(std::move(entrances)), caches_(std::move(caches)) {}

void SceneText::preflight(const TextItem&) const {}

std::shared_ptr<const RGBAImage> SceneText::layer(const TextItem& item, int64_t atUs) const {
    if (atUs < item.outStartUs || atUs >= item.outEndUs) return nullptr;
    // No rasterizer is built into this engine yet: a frame that shows text
    // fails rather than leaving the text out.
    throw EngineFailure::internalError("Text could not be rasterized.");
}

} // namespace korvel
