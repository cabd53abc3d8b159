#include "Adapters/Text/FontFace.hpp"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H
#include <hb-ot.h>
#include <hb.h>
#include <vips/vips.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace korvel {

namespace {

// HarfBuzz works at this many units per font unit, so that advances of
// variable instances keep their fractions.
constexpr int subUnits = 64;

struct FreeTypeLibrary {
    FT_Library library = nullptr;
    FreeTypeLibrary() { FT_Init_FreeType(&library); }
    ~FreeTypeLibrary() { FT_Done_FreeType(library); }
};

std::mutex freeTypeLock; // FT_Library may not be used by two threads at once

struct OutlineSink {
    GlyphOutline outline;
    bool open = false;
    void point(float x, float y) {
        outline.points.push_back(x);
        outline.points.push_back(y);
    }
};

void moveTo(hb_draw_funcs_t*, void* data, hb_draw_state_t*, float x, float y, void*) {
    auto* s = static_cast<OutlineSink*>(data);
    if (s->open) s->outline.ops.push_back(GlyphOutline::Op::close);
    s->outline.ops.push_back(GlyphOutline::Op::move);
    s->point(x, y);
    s->open = true;
}
void lineTo(hb_draw_funcs_t*, void* data, hb_draw_state_t*, float x, float y, void*) {
    auto* s = static_cast<OutlineSink*>(data);
    s->outline.ops.push_back(GlyphOutline::Op::line);
    s->point(x, y);
}
void quadTo(hb_draw_funcs_t*, void* data, hb_draw_state_t*, float cx, float cy, float x, float y, void*) {
    auto* s = static_cast<OutlineSink*>(data);
    s->outline.ops.push_back(GlyphOutline::Op::quad);
    s->point(cx, cy);
    s->point(x, y);
}
void cubicTo(hb_draw_funcs_t*, void* data, hb_draw_state_t*, float c1x, float c1y, float c2x, float c2y, float x,
             float y, void*) {
    auto* s = static_cast<OutlineSink*>(data);
    s->outline.ops.push_back(GlyphOutline::Op::cubic);
    s->point(c1x, c1y);
    s->point(c2x, c2y);
    s->point(x, y);
}
void closePath(hb_draw_funcs_t*, void* data, hb_draw_state_t*, void*) {
    auto* s = static_cast<OutlineSink*>(data);
    if (s->open) s->outline.ops.push_back(GlyphOutline::Op::close);
    s->open = false;
}

hb_draw_funcs_t* drawFuncs() {
    static hb_draw_funcs_t* funcs = [] {
        hb_draw_funcs_t* f = hb_draw_funcs_create();
        hb_draw_funcs_set_move_to_func(f, moveTo, nullptr, nullptr);
        hb_draw_funcs_set_line_to_func(f, lineTo, nullptr, nullptr);
        hb_draw_funcs_set_quadratic_to_func(f, quadTo, nullptr, nullptr);
        hb_draw_funcs_set_cubic_to_func(f, cubicTo, nullptr, nullptr);
        hb_draw_funcs_set_close_path_func(f, closePath, nullptr, nullptr);
        hb_draw_funcs_make_immutable(f);
        return f;
    }();
    return funcs;
}

void vipsOnce() {
    static const bool ready = [] { return VIPS_INIT("korvel-engine") == 0; }();
    (void)ready;
}

} // namespace

FontFace::~FontFace() {
    if (face_) hb_face_destroy(face_);
}

std::shared_ptr<const FontFace> FontFace::fromWoff2(std::string_view bytes) {
    std::vector<char> sfnt;
    {
        static FreeTypeLibrary ft;
        std::lock_guard guard(freeTypeLock);
        if (!ft.library) return nullptr;
        FT_Face face = nullptr;
        if (FT_New_Memory_Face(ft.library, reinterpret_cast<const FT_Byte*>(bytes.data()),
                               static_cast<FT_Long>(bytes.size()), 0, &face) != 0) {
            return nullptr;
        }
        FT_ULong length = 0;
        // Tag 0 reads the whole font: for WOFF2 the SFNT FreeType rebuilt.
        if (FT_Load_Sfnt_Table(face, 0, 0, nullptr, &length) == 0 && length > 12) {
            sfnt.resize(length);
            if (FT_Load_Sfnt_Table(face, 0, 0, reinterpret_cast<FT_Byte*>(sfnt.data()), &length) != 0) sfnt.clear();
        }
        FT_Done_Face(face);
    }
    if (sfnt.empty()) return nullptr;
    auto* owned = new std::vector<char>(std::move(sfnt));
    hb_blob_t* blob = hb_blob_create(owned->data(), static_cast<unsigned>(owned->size()), HB_MEMORY_MODE_READONLY,
                                     owned, [](void* p) { delete static_cast<std::vector<char>*>(p); });
    std::shared_ptr<FontFace> out(new FontFace);
    out->face_ = hb_face_create(blob, 0);
    hb_blob_destroy(blob);
    if (hb_face_get_glyph_count(out->face_) == 0) return nullptr;
    out->describe();
    return out;
}

std::shared_ptr<const FontFace> FontFace::fromFile(const std::string& path, unsigned index) {
    hb_blob_t* blob = hb_blob_create_from_file_or_fail(path.c_str());
    if (!blob) return nullptr;
    std::shared_ptr<FontFace> out(new FontFace);
    out->face_ = hb_face_create(blob, index);
    hb_blob_destroy(blob);
    if (hb_face_get_glyph_count(out->face_) == 0) return nullptr;
    out->describe();
    return out;
}

void FontFace::describe() {
    hb_face_make_immutable(face_);
    upem_ = std::max(1u, hb_face_get_upem(face_));
    char name[256];
    unsigned size = sizeof name;
    if (hb_ot_name_get_utf8(face_, HB_OT_NAME_ID_POSTSCRIPT_NAME, HB_LANGUAGE_INVALID, &size, name) > 0) {
        postScriptName_.assign(name, size);
    }
    hb_ot_var_axis_info_t axis;
    if (hb_ot_var_find_axis_info(face_, HB_TAG('w', 'g', 'h', 't'), &axis)) {
        weightAxis_ = std::make_pair(static_cast<double>(axis.min_value), static_cast<double>(axis.max_value));
    }
    colorBitmaps_ = hb_ot_color_has_png(face_);
}

FontInstance::FontInstance(std::shared_ptr<const FontFace> face, std::optional<double> weight)
    : face_(std::move(face)) {
    font_ = hb_font_create(face_->face());
    const int scale = static_cast<int>(face_->upem()) * subUnits;
    hb_font_set_scale(font_, scale, scale);
    unitsPerEm_ = static_cast<double>(scale);
    if (auto axis = face_->weightAxis()) {
        // Always explicit: some faces' default instance is Thin or Light.
        weight_ = std::clamp(weight.value_or(400.0), axis->first, axis->second);
        hb_variation_t v{HB_TAG('w', 'g', 'h', 't'), static_cast<float>(weight_)};
        hb_font_set_variations(font_, &v, 1);
    } else {
        hb_blob_t* os2 = hb_face_reference_table(face_->face(), HB_TAG('O', 'S', '/', '2'));
        unsigned length = 0;
        const char* data = hb_blob_get_data(os2, &length);
        weight_ = length >= 6 ? static_cast<double>((static_cast<unsigned char>(data[4]) << 8) |
                                                    static_cast<unsigned char>(data[5]))
                              : 400.0;
        hb_blob_destroy(os2);
    }
    hb_font_make_immutable(font_);
}

FontInstance::~FontInstance() { hb_font_destroy(font_); }

bool FontInstance::hasGlyph(uint32_t c) const {
    hb_codepoint_t g = 0;
    return hb_font_get_nominal_glyph(font_, c, &g) && g != 0;
}

std::optional<uint32_t> FontInstance::glyph(uint32_t c) const {
    hb_codepoint_t g = 0;
    if (!hb_font_get_nominal_glyph(font_, c, &g) || g == 0) return std::nullopt;
    return g;
}

double FontInstance::advance(uint32_t glyph) const {
    return static_cast<double>(hb_font_get_glyph_h_advance(font_, glyph)) / unitsPerEm_;
}

std::shared_ptr<const GlyphOutline> FontInstance::outline(uint32_t glyph) const {
    {
        std::lock_guard guard(lock_);
        if (auto found = outlines_.find(glyph); found != outlines_.end()) return found->second;
    }
    OutlineSink sink;
    hb_font_get_glyph_shape(font_, glyph, drawFuncs(), &sink);
    if (sink.open) sink.outline.ops.push_back(GlyphOutline::Op::close);
    auto out = std::make_shared<GlyphOutline>(std::move(sink.outline));
    double minX = std::numeric_limits<double>::infinity(), minY = minX, maxX = -minX, maxY = -minX;
    for (size_t i = 0; i + 1 < out->points.size(); i += 2) {
        out->points[i] /= unitsPerEm_;
        out->points[i + 1] /= unitsPerEm_;
        minX = std::min(minX, out->points[i]);
        maxX = std::max(maxX, out->points[i]);
        minY = std::min(minY, out->points[i + 1]);
        maxY = std::max(maxY, out->points[i + 1]);
    }
    if (!out->points.empty()) {
        out->minX = minX, out->minY = minY, out->maxX = maxX, out->maxY = maxY;
    }
    std::lock_guard guard(lock_);
    if (outlines_.size() >= glyphCapacity) outlines_.clear();
    outlines_.emplace(glyph, out);
    return out;
}

std::shared_ptr<const GlyphImage> FontInstance::colorGlyph(uint32_t glyph) const {
    if (!face_->hasColorBitmaps()) return nullptr;
    {
        std::lock_guard guard(lock_);
        if (auto found = images_.find(glyph); found != images_.end()) return found->second;
    }
    std::shared_ptr<GlyphImage> out;
    hb_blob_t* png = hb_ot_color_glyph_reference_png(font_, glyph);
    unsigned length = 0;
    const char* data = hb_blob_get_data(png, &length);
    hb_glyph_extents_t extents{};
    if (length > 0 && hb_font_get_glyph_extents(font_, glyph, &extents)) {
        vipsOnce();
        VipsImage* image = nullptr;
        if (vips_pngload_buffer(const_cast<char*>(data), length, &image, nullptr) != 0) image = nullptr;
        VipsImage* rgba = nullptr;
        if (image && vips_colourspace(image, &rgba, VIPS_INTERPRETATION_sRGB, nullptr) == 0) {
            VipsImage* withAlpha = nullptr;
            if (!vips_image_hasalpha(rgba)) {
                vips_bandjoin_const1(rgba, &withAlpha, 255.0, nullptr);
            } else {
                withAlpha = rgba;
                g_object_ref(withAlpha);
            }
            VipsImage* bytes = nullptr;
            if (withAlpha && vips_cast_uchar(withAlpha, &bytes, nullptr) == 0 && vips_image_get_bands(bytes) == 4) {
                size_t size = 0;
                void* mem = vips_image_write_to_memory(bytes, &size);
                if (mem) {
                    out = std::make_shared<GlyphImage>();
                    out->width = vips_image_get_width(bytes);
                    out->height = vips_image_get_height(bytes);
                    out->rgba.assign(static_cast<uint8_t*>(mem), static_cast<uint8_t*>(mem) + size);
                    g_free(mem);
                    out->left = extents.x_bearing / unitsPerEm_;
                    out->top = extents.y_bearing / unitsPerEm_;
                    out->right = (extents.x_bearing + extents.width) / unitsPerEm_;
                    out->bottom = (extents.y_bearing + extents.height) / unitsPerEm_;
                }
            }
            if (bytes) g_object_unref(bytes);
            if (withAlpha) g_object_unref(withAlpha);
        }
        if (rgba) g_object_unref(rgba);
        if (image) g_object_unref(image);
    }
    hb_blob_destroy(png);
    std::lock_guard guard(lock_);
    if (images_.size() >= glyphCapacity / 16) images_.clear();
    images_.emplace(glyph, out);
    return out;
}

} // namespace korvel
