#pragma once

#include "Adapters/Text/TextCaches.hpp"
#include "Core/Picture/RGBAImage.hpp"
#include "Core/Picture/RenderSize.hpp"
#include "Core/Plan/TextItem.hpp"
#include "Core/Text/HexColor.hpp"
#include "Core/Text/Palette.hpp"
#include "Core/Text/TextLayout.hpp"
#include "Core/Text/TextLayoutEngine.hpp"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace korvel {

// Draws the text items of one composition as layers for the frame graph:
// highlighted runs, shadow and, while an item enters, each run in its pose.
// Shared by every frame of the graph, from several threads at once; its
// caches (fitted layouts, finished images, run tiles) are first in, first
// out, bounded by count and bytes, and locked only to read or update them.
//
// Layers are tiles in the compositor's working space (linear, premultiplied),
// canvas pixels with y down, clipped to the canvas.
class TextRasterizer {
public:
    TextRasterizer(RenderSize size, double unit, std::map<std::string, TextEntrance> entrances,
                   const TextCaches& caches);

    // The item's layer at atUs; none outside [outStartUs, outEndUs) or when
    // nothing of it is visible.
    std::optional<RGBAImage> layer(const TextItem& item, int64_t atUs);
    // The same without a copy; null for none. Cached images are shared.
    std::shared_ptr<const RGBAImage> sharedLayer(const TextItem& item, int64_t atUs);

    // The item's fitted layout through the layout cache.
    std::shared_ptr<const TextLayout> layout(const TextItem& item);
    // The item's entrance in the plan's table, or none; -32602 "Text item
    // <id> can't enter: <failure>." when it cannot be bound.
    std::optional<TextEntrance> entrance(const TextItem& item) const;

    // The key under which a preflight records that an item was validated.
    static std::string validationKey(const TextItem& item);
    // What highlighted runs use when their item names no highlight.
    static TextHighlight defaultHighlight() { return TextHighlight::standard(); }

    RenderSize size() const { return size_; }
    double unit() const { return unit_; }
    const std::shared_ptr<TextValidationCache>& validated() const { return validated_; }

    static constexpr size_t imageCount = 12;
    static constexpr size_t layoutCount = 12;
    static constexpr size_t tileCount = 64;
    // Bytes of pixels the image and tile caches may hold each.
    static constexpr size_t imageBytes = size_t{256} << 20;
    static constexpr size_t tileBytes = size_t{256} << 20;

    struct RunTile;

private:
    // Entries keep the item they were made for: a key that matches another
    // item with the same id and content hash is still a miss.
    template <class V> struct Entry {
        std::shared_ptr<const TextItem> item;
        V value;
        size_t bytes = 0;
    };
    template <class V> struct Fifo {
        std::unordered_map<std::string, Entry<V>> entries;
        std::deque<std::string> order;
        size_t bytes = 0;
    };

    std::string itemKey(const TextItem& item) const;
    std::shared_ptr<const RGBAImage> rasterize(const TextItem& item, const std::vector<bool>& lit);
    std::shared_ptr<const RGBAImage> arriving(const TextItem& item, const TextEntrance& entrance,
                                              const std::vector<bool>& lit, int64_t atUs);
    std::shared_ptr<const RunTile> tile(const TextItem& item, size_t run, bool lit);

    RenderSize size_;
    double unit_ = 0;
    std::map<std::string, TextEntrance> entrances_;
    TextLayoutEngine layoutEngine_;
    std::shared_ptr<TextValidationCache> validated_;

    std::mutex lock_;
    Fifo<std::shared_ptr<const RGBAImage>> images_;
    Fifo<std::shared_ptr<const TextLayout>> layouts_;
    Fifo<std::shared_ptr<const RunTile>> tiles_;
};

} // namespace korvel
