#pragma once

#include "Core/Render/RGBAImage.hpp"
#include "Core/Render/RenderSize.hpp"
#include "Core/Render/TextEntrance.hpp"
#include "Core/Render/TextItem.hpp"

#include <map>
#include <memory>
#include <string>

namespace korvel {

struct TextCaches;

// The text layers of one scene, in front of the text rasterizer.
class SceneText {
public:
    SceneText(RenderSize size, double unit, std::map<std::string, TextEntrance> entrances,
              std::shared_ptr<TextCaches> caches);

    // What the scene checks of an item before any frame is drawn.
    void preflight(const TextItem& item) const;
    // The item's layer on the canvas at a time, or nothing when it does not
    // show then. Throws EngineFailure.
    std::shared_ptr<const RGBAImage> layer(const TextItem& item, int64_t atUs) const;

private:
    RenderSize size_;
    double unit_;
    std::map<std::string, TextEntrance> entrances_;
    std::shared_ptr<TextCaches> caches_;
};

} // namespace korvel
