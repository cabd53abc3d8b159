#pragma once

#include "Core/Text/GlyphOutline.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

struct hb_face_t;
struct hb_font_t;

namespace korvel {

// One font face's SFNT data as HarfBuzz reads it. Bundled faces come from
// WOFF2 bytes (FreeType rebuilds the SFNT), fallback faces from font files
// mapped on first use. Immutable once made, so shared across threads.
class FontFace {
public:
    ~FontFace();
    FontFace(const FontFace&) = delete;
    FontFace& operator=(const FontFace&) = delete;

    // Nothing when FreeType cannot read the bytes as a font.
    static std::shared_ptr<const FontFace> fromWoff2(std::string_view bytes);
    // Nothing when the file is missing or holds no such face.
    static std::shared_ptr<const FontFace> fromFile(const std::string& path, unsigned index);

    hb_face_t* face() const { return face_; }
    unsigned upem() const { return upem_; }
    const std::string& postScriptName() const { return postScriptName_; }
    // The wght axis, when the face is variable along it.
    std::optional<std::pair<double, double>> weightAxis() const { return weightAxis_; }
    bool hasColorBitmaps() const { return colorBitmaps_; }

private:
    FontFace() = default;
    void describe();

    hb_face_t* face_ = nullptr;
    unsigned upem_ = 1000;
    std::string postScriptName_;
    std::optional<std::pair<double, double>> weightAxis_;
    bool colorBitmaps_ = false;
};

// A face at one weight: what shaping and drawing use. Outlines and colour
// glyphs are read once per glyph and kept (bounded).
class FontInstance {
public:
    FontInstance(std::shared_ptr<const FontFace> face, std::optional<double> weight);
    ~FontInstance();
    FontInstance(const FontInstance&) = delete;
    FontInstance& operator=(const FontInstance&) = delete;

    const FontFace& face() const { return *face_; }
    hb_font_t* font() const { return font_; }
    // hb positions divided by this are ems.
    double unitsPerEm() const { return unitsPerEm_; }
    double weight() const { return weight_; }
    bool hasGlyph(uint32_t codepoint) const;
    std::optional<uint32_t> glyph(uint32_t codepoint) const;
    double advance(uint32_t glyph) const; // ems

    std::shared_ptr<const GlyphOutline> outline(uint32_t glyph) const;
    std::shared_ptr<const GlyphImage> colorGlyph(uint32_t glyph) const;

    static constexpr size_t glyphCapacity = 4096;

private:
    std::shared_ptr<const FontFace> face_;
    hb_font_t* font_ = nullptr;
    double unitsPerEm_ = 1;
    double weight_ = 400;
    mutable std::mutex lock_;
    mutable std::unordered_map<uint32_t, std::shared_ptr<const GlyphOutline>> outlines_;
    mutable std::unordered_map<uint32_t, std::shared_ptr<const GlyphImage>> images_;
};

} // namespace korvel
