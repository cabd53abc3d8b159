#include "Adapters/Text/TextRasterizer.hpp"

#include "Adapters/Text/FontSet.hpp"
#include "Core/ClientText.hpp"
#include "Core/Picture/GaussianBlur.hpp"
#include "Core/Timeline/WideMath.hpp"
#include "Core/Text/CoverageMask.hpp"
#include "Core/Text/TextPainting.hpp"
#include "Core/Text/TextWrap.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

using namespace TextPainting;

struct TextRasterizer::RunTile {
    RGBAImage image;     // linear premultiplied, canvas pixels y down
    double centerX = 0;  // centre of the run's line boxes, y down
    double centerY = 0;
    double boxHeight = 0;
    int64_t pixels = 0;
};

namespace {

// No canvas the compositor accepts is larger; layers never reach past it.
constexpr int64_t largestSide = 16384;

int64_t since(int64_t t, int64_t start) {
    const WideMath::Wide d = WideMath::Wide{t} - WideMath::Wide{start};
    if (d > INT64_MAX) return INT64_MAX;
    if (d < INT64_MIN) return INT64_MIN;
    return static_cast<int64_t>(d);
}

// What one drawing pass needs of the item.
struct Drawing {
    const TextItem& item;
    const Palette& palette;
    double canvasHeight;
    double unit;
};

// Glyphs of the tokens into a mask whose pixel (0, 0) is canvas (ox, oy),
// colour glyphs straight into the image when one is given.
void addGlyphs(const std::vector<const PlacedToken*>& tokens, double canvasHeight, double ox, double oy,
               CoverageMask& mask, std::optional<RGBAImage>* colour, const PixelRect& rect) {
    for (const PlacedToken* p : tokens) {
        const auto* font = dynamic_cast<const SizedFont*>(p->token.font.get());
        if (!font || !p->token.line) continue;
        const double size = font->size();
        double pen = p->x;
        const double baseY = canvasHeight - p->baseline;
        for (const auto& g : p->token.line->glyphs) {
            const FontInstance& inst = font->set().member(g.face);
            const double gx = pen + g.x * size, gy = baseY - g.y * size;
            if (inst.face().hasColorBitmaps()) {
                if (colour) {
                    if (auto image = inst.colorGlyph(g.id)) {
                        if (!*colour) *colour = RGBAImage::transparent(rect.x, rect.y, rect.w, rect.h);
                        drawImage(**colour, nullptr, *image, gx + image->left * size, gy - image->top * size,
                                  gx + image->right * size, gy - image->bottom * size);
                    }
                }
            } else if (auto outline = inst.outline(g.id); outline && !outline->empty()) {
                mask.addOutline(*outline, size, gx - ox, gy - oy);
            }
            pen += g.advance * size + p->token.kerning;
        }
    }
}

// Ink of the tokens: glyph outlines and highlight rectangles, y down.
Box inkBox(const std::vector<const PlacedToken*>& tokens, double canvasHeight) {
    Box box;
    for (const PlacedToken* p : tokens) {
        const double top = canvasHeight - (p->baseline + p->ascent), bottom = canvasHeight - (p->baseline - p->descent);
        box.add(p->x - p->padding, top, p->x + p->token.width + p->padding, bottom);
        const auto* font = dynamic_cast<const SizedFont*>(p->token.font.get());
        if (!font || !p->token.line) continue;
        const double size = font->size();
        double pen = p->x;
        for (const auto& g : p->token.line->glyphs) {
            const FontInstance& inst = font->set().member(g.face);
            const double gx = pen + g.x * size, gy = canvasHeight - p->baseline - g.y * size;
            if (auto image = inst.face().hasColorBitmaps() ? inst.colorGlyph(g.id) : nullptr) {
                box.add(gx + image->left * size, gy - image->top * size, gx + image->right * size,
                        gy - image->bottom * size);
            } else if (auto outline = inst.outline(g.id); outline && !outline->empty()) {
                box.add(gx + outline->minX * size, gy - outline->maxY * size, gx + outline->maxX * size,
                        gy - outline->minY * size);
            }
            pen += g.advance * size + p->token.kerning;
        }
    }
    return box;
}

// Unlit tokens with the shadow, then lit tokens over their highlight boxes.
RGBAImage draw(const Drawing& d, const std::vector<const PlacedToken*>& unlit,
               const std::vector<const PlacedToken*>& lit, const PixelRect& rect) {
    RGBAImage image = RGBAImage::transparent(rect.x, rect.y, rect.w, rect.h);
    const double ox = rect.x, oy = rect.y;
    const auto& shadow = d.item.style.shadow;
    if (shadow && d.palette.shadow && !unlit.empty()) {
        CoverageMask mask(rect.w, rect.h);
        addGlyphs(unlit, d.canvasHeight, ox, oy - shadowOffset(*shadow, d.unit, d.canvasHeight), mask, nullptr, rect);
        auto coverage = mask.coverage();
        GaussianBlur::blur(coverage.data(), rect.w, rect.h, 1, shadowBlur(*shadow, d.unit) / 2, BlurEdge::transparent);
        fill(image, coverage, *d.palette.shadow);
    }
    if (!unlit.empty()) {
        CoverageMask mask(rect.w, rect.h);
        std::optional<RGBAImage> colour;
        addGlyphs(unlit, d.canvasHeight, ox, oy, mask, &colour, rect);
        fill(image, mask.coverage(), d.palette.text);
        if (colour) over(image, *colour);
    }
    if (!lit.empty()) {
        CoverageMask boxes(rect.w, rect.h);
        for (const PlacedToken* p : lit) {
            boxes.addRect(p->x - p->padding - ox, d.canvasHeight - (p->baseline + p->ascent) - oy,
                          p->x + p->token.width + p->padding - ox, d.canvasHeight - (p->baseline - p->descent) - oy);
        }
        fill(image, boxes.coverage(), d.palette.highlightBackground);
        CoverageMask mask(rect.w, rect.h);
        std::optional<RGBAImage> colour;
        addGlyphs(lit, d.canvasHeight, ox, oy, mask, &colour, rect);
        fill(image, mask.coverage(), d.palette.highlightText);
        if (colour) over(image, *colour);
    }
    toLinear(image);
    return image;
}

uint64_t mix(uint64_t h, uint64_t v) {
    h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h;
}
uint64_t mix(uint64_t h, const std::string& s) { return mix(h, std::hash<std::string>{}(s)); }
uint64_t mix(uint64_t h, double v) { return mix(h, std::hash<double>{}(v)); }
uint64_t mix(uint64_t h, int64_t v) { return mix(h, static_cast<uint64_t>(v)); }

size_t byteSize(const RGBAImage& image) { return image.pixels.size() * sizeof(float); }

} // namespace

TextRasterizer::TextRasterizer(RenderSize size, double unit, std::map<std::string, TextEntrance> entrances,
                               const TextCaches& caches)
    : size_(size), unit_(unit), entrances_(std::move(entrances)), layoutEngine_(size, unit, caches.fonts),
      validated_(caches.validated) {}

std::string TextRasterizer::itemKey(const TextItem& item) const {
    // Items may share an id: the key also carries everything that is drawn.
    uint64_t h = 0;
    h = mix(h, static_cast<int64_t>(item.role));
    h = mix(h, item.outStartUs);
    h = mix(h, item.outEndUs);
    for (const auto& line : item.lines) {
        h = mix(h, static_cast<int64_t>(line.role ? static_cast<int>(*line.role) + 1 : 0));
        for (const auto& run : line.runs) {
            h = mix(h, run.text);
            h = mix(h, run.outStartUs);
            h = mix(h, run.outEndUs);
            h = mix(h, static_cast<int64_t>(run.keyword));
            h = mix(h, run.enterUs ? *run.enterUs : INT64_MIN);
        }
        h = mix(h, int64_t{-7});
    }
    h = mix(h, item.box.x), h = mix(h, item.box.y), h = mix(h, item.box.w), h = mix(h, item.box.h);
    const TextStyle& st = item.style;
    h = mix(h, static_cast<int64_t>(st.font));
    h = mix(h, st.weight);
    h = mix(h, static_cast<int64_t>(st.italic));
    h = mix(h, st.sizePct), h = mix(h, st.lineHeight), h = mix(h, st.letterSpacingEm);
    h = mix(h, st.color);
    if (st.shadow) {
        h = mix(h, st.shadow->offsetYPct), h = mix(h, st.shadow->blurPct);
        h = mix(h, st.shadow->color), h = mix(h, st.shadow->opacity);
    }
    h = mix(h, static_cast<int64_t>(item.activeWordHighlight));
    if (item.highlight) h = mix(h, item.highlight->background), h = mix(h, item.highlight->color);
    if (item.entrance) h = mix(h, *item.entrance);
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    return item.id + "|" + hex;
}

std::string TextRasterizer::validationKey(const TextItem& item) {
    static constexpr const char* caseNames[] = {"inter",   "playfairDisplay", "ibmPlexMono", "montserrat",
                                                "poppins", "oswald",          "anton",       "bebasNeue",
                                                "spaceGrotesk", "dmSerifDisplay", "lora",    "abrilFatface",
                                                "caveat",  "pacifico",        "bangers"};
    std::string key = caseNames[static_cast<size_t>(item.style.font)];
    key += "|" + std::to_string(item.style.weight) + "|" + (item.style.italic ? "true" : "false") + "|" +
           item.style.color + "|" + (item.style.shadow ? item.style.shadow->color : std::string()) + "|" +
           (item.highlight ? item.highlight->background : std::string()) + "|" +
           (item.highlight ? item.highlight->color : std::string()) + "|";
    for (size_t i = 0; i < item.lines.size(); ++i) {
        if (i > 0) key += '\n';
        const auto& line = item.lines[i];
        if (line.role) key += EnumNames<TitleLineRole>::names[static_cast<size_t>(*line.role)];
        key += '=';
        for (size_t j = 0; j < line.runs.size(); ++j) {
            if (j > 0) key += ' ';
            key += line.runs[j].text;
        }
    }
    return key;
}

std::optional<TextEntrance> TextRasterizer::entrance(const TextItem& item) const {
    try {
        return item.entranceIn(entrances_);
    } catch (const TextEntranceFailure& failure) {
        throw EngineFailure::invalidParams("Text item " + ClientText::quoted(item.id) + " can't enter: " + failure.text() + ".");
    }
}

namespace {
template <class Entry> void insertFifo(auto& fifo, const std::string& key, Entry entry, size_t bytes, size_t count,
                                       size_t budget) {
    if (auto found = fifo.entries.find(key); found != fifo.entries.end()) {
        fifo.bytes -= found->second.bytes;
        found->second = std::move(entry);
        found->second.bytes = bytes;
        fifo.bytes += bytes;
        return;
    }
    while (!fifo.order.empty() && (fifo.order.size() >= count || fifo.bytes + bytes > budget)) {
        auto old = fifo.entries.find(fifo.order.front());
        if (old != fifo.entries.end()) {
            fifo.bytes -= old->second.bytes;
            fifo.entries.erase(old);
        }
        fifo.order.pop_front();
    }
    entry.bytes = bytes;
    fifo.bytes += bytes;
    fifo.entries.emplace(key, std::move(entry));
    fifo.order.push_back(key);
}
} // namespace

std::shared_ptr<const TextLayout> TextRasterizer::layout(const TextItem& item) {
    const std::string key = itemKey(item);
    {
        std::lock_guard guard(lock_);
        if (auto found = layouts_.entries.find(key); found != layouts_.entries.end() && *found->second.item == item) {
            return found->second.value;
        }
    }
    auto laidOut = std::make_shared<const TextLayout>(layoutEngine_.layout(item));
    std::lock_guard guard(lock_);
    insertFifo(layouts_, key, Entry<std::shared_ptr<const TextLayout>>{std::make_shared<TextItem>(item), laidOut, 0}, 0,
               layoutCount, SIZE_MAX);
    return laidOut;
}

std::optional<RGBAImage> TextRasterizer::layer(const TextItem& item, int64_t atUs) {
    auto shared = sharedLayer(item, atUs);
    if (!shared) return std::nullopt;
    return *shared;
}

std::shared_ptr<const RGBAImage> TextRasterizer::sharedLayer(const TextItem& item, int64_t atUs) {
    if (atUs < item.outStartUs || atUs >= item.outEndUs) return nullptr;
    std::vector<bool> lit;
    std::string litList;
    for (const auto& line : item.lines) {
        for (const auto& run : line.runs) {
            const bool on = run.keyword || (item.activeWordHighlight && run.outStartUs <= atUs && atUs < run.outEndUs);
            if (on) {
                if (!litList.empty()) litList += ", ";
                litList += std::to_string(lit.size());
            }
            lit.push_back(on);
        }
    }
    if (auto e = entrance(item); e && item.isArriving(atUs, *e)) return arriving(item, *e, lit, atUs);
    const std::string key = itemKey(item) + "|[" + litList + "]";
    {
        std::lock_guard guard(lock_);
        if (auto found = images_.entries.find(key); found != images_.entries.end() && *found->second.item == item) {
            return found->second.value;
        }
    }
    auto image = rasterize(item, lit);
    std::lock_guard guard(lock_);
    insertFifo(images_, key, Entry<std::shared_ptr<const RGBAImage>>{std::make_shared<TextItem>(item), image, 0},
               image ? byteSize(*image) : 0, imageCount, imageBytes);
    return image;
}

std::shared_ptr<const RGBAImage> TextRasterizer::rasterize(const TextItem& item, const std::vector<bool>& lit) {
    const Palette palette(item, defaultHighlight());
    const auto laidOut = layout(item);
    std::vector<const PlacedToken*> unlitTokens, litTokens, all;
    for (const auto& p : laidOut->placed) {
        (p.token.run < lit.size() && lit[p.token.run] ? litTokens : unlitTokens).push_back(&p);
        all.push_back(&p);
    }
    const double H = static_cast<double>(size_.height);
    const int W = static_cast<int>(std::clamp<int64_t>(size_.width, 0, largestSide));
    const int Hi = static_cast<int>(std::clamp<int64_t>(size_.height, 0, largestSide));
    const PixelRect rect = clip(inkBox(all, H), inkMargin(item.style, unit_, H), 0, 0, W, Hi);
    if (rect.empty()) return nullptr;
    return std::make_shared<const RGBAImage>(draw(Drawing{item, palette, H, unit_}, unlitTokens, litTokens, rect));
}

std::shared_ptr<const TextRasterizer::RunTile> TextRasterizer::tile(const TextItem& item, size_t run, bool lit) {
    const std::string key = itemKey(item) + "|" + std::to_string(run) + "|" + (lit ? "true" : "false");
    {
        std::lock_guard guard(lock_);
        if (auto found = tiles_.entries.find(key); found != tiles_.entries.end() && *found->second.item == item) {
            return found->second.value;
        }
    }
    const auto laidOut = layout(item);
    std::vector<const PlacedToken*> tokens;
    for (const auto& p : laidOut->placed) {
        if (p.token.run == run) tokens.push_back(&p);
    }
    if (tokens.empty()) return nullptr;
    const Palette palette(item, defaultHighlight());
    const double H = static_cast<double>(size_.height);
    const int W = static_cast<int>(std::clamp<int64_t>(size_.width, 0, largestSide));
    const int Hi = static_cast<int>(std::clamp<int64_t>(size_.height, 0, largestSide));
    const PixelRect rect = clip(inkBox(tokens, H), inkMargin(item.style, unit_, H), -tileMargin, -tileMargin,
                                W + tileMargin, Hi + tileMargin);
    auto out = std::make_shared<RunTile>();
    if (!rect.empty()) {
        const std::vector<const PlacedToken*> none;
        out->image = draw(Drawing{item, palette, H, unit_}, lit ? none : tokens, lit ? tokens : none, rect);
    }
    Box lines;
    for (const PlacedToken* p : tokens) {
        const double mid = H - (p->baseline + (p->ascent - p->descent) / 2);
        lines.add(p->x, mid - p->lineHeight / 2, p->x + p->token.width, mid + p->lineHeight / 2);
    }
    out->centerX = (lines.x0 + lines.x1) / 2;
    out->centerY = (lines.y0 + lines.y1) / 2;
    out->boxHeight = lines.y1 - lines.y0;
    out->pixels = static_cast<int64_t>(rect.w) * rect.h;
    std::shared_ptr<const RunTile> shared = out;
    std::lock_guard guard(lock_);
    insertFifo(tiles_, key, Entry<std::shared_ptr<const RunTile>>{std::make_shared<TextItem>(item), shared, 0},
               byteSize(out->image), tileCount, tileBytes);
    return shared;
}

std::shared_ptr<const RGBAImage> TextRasterizer::arriving(const TextItem& item, const TextEntrance& entrance,
                                                          const std::vector<bool>& lit, int64_t atUs) {
    const double fade = entrance.fadeOpacity(since(atUs, item.outStartUs));
    const int W = static_cast<int>(std::clamp<int64_t>(size_.width, 0, largestSide));
    const int Hi = static_cast<int>(std::clamp<int64_t>(size_.height, 0, largestSide));
    std::vector<std::shared_ptr<const RunTile>> keep;
    std::vector<PosedRun> layers;
    for (int pass = 0; pass < 2; ++pass) {
        size_t run = 0;
        for (const auto& line : item.lines) {
            for (const auto& r : line.runs) {
                const size_t index = run++;
                if (lit[index] != (pass == 1)) continue;
                if (!r.enterUs) throw EngineFailure::internalError("A run of an entering text has no time.");
                const TextPose pose = entrance.pose(since(atUs, *r.enterUs));
                const double alpha = runAlpha(fade, pose);
                if (alpha <= 0) continue;
                auto t = tile(item, index, lit[index]);
                if (!t || t->image.empty()) continue;
                auto placed = posed(t->image, t->centerX, t->centerY, t->boxHeight, pose, alpha, unit_, W, Hi);
                if (!placed) continue;
                keep.push_back(t);
                layers.push_back(std::move(*placed));
            }
        }
    }
    return composite(layers, W, Hi);
}

} // namespace korvel
