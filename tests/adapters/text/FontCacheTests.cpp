// The bundled faces, their checks and bounds, and shaping widths against
// HarfBuzz's own advances for the same face.

#include "Adapters/Text/BundledFonts.hpp"
#include "Adapters/Text/FontCache.hpp"
#include "Adapters/Text/FontSet.hpp"
#include "Adapters/Text/PackageResources.hpp"
#include "Core/Text/TextScript.hpp"

#include <gtest/gtest.h>
#include <hb-ot.h>
#include <hb.h>

using namespace korvel;

namespace {

const std::vector<std::string> latin = TextScript::cascadeLanguages("hello");

EngineFailure failureOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EngineFailure& e) {
        return e;
    }
    return {0, "none"};
}

} // namespace

TEST(BundledFonts, EveryFaceReadsWithTheTablesWeights) {
    for (size_t i = 0; i < 15; ++i) {
        const auto& face = BundledFonts::face(static_cast<FontFamily>(i));
        ASSERT_TRUE(std::holds_alternative<std::shared_ptr<const FontFace>>(face.descriptor)) << face.name;
        const auto& f = std::get<std::shared_ptr<const FontFace>>(face.descriptor);
        if (face.lowestWeight == face.highestWeight) {
            EXPECT_FALSE(f->weightAxis()) << face.name;
        } else {
            ASSERT_TRUE(f->weightAxis()) << face.name;
            EXPECT_EQ(f->weightAxis()->first, face.lowestWeight) << face.name;
            EXPECT_EQ(f->weightAxis()->second, face.highestWeight) << face.name;
        }
    }
    EXPECT_EQ(BundledFonts::systemSans().size(), 4u);
    for (const auto& f : BundledFonts::systemSans()) EXPECT_EQ(f->weightAxis(), std::make_pair(100.0, 900.0));
}

TEST(BundledFonts, UnreadableBytesKeepTheirFailure) {
    const auto bad = BundledFonts::descriptor("wOF2 but nothing else", "Broken");
    ASSERT_TRUE(std::holds_alternative<EngineFailure>(bad));
    EXPECT_EQ(std::get<EngineFailure>(bad), EngineFailure(-32603, "The bundled font Broken can't be read."));
}

TEST(FontCache, SlantAndWeightChecksInOrder) {
    FontCache cache;
    struct Case {
        FontFamily family;
        int64_t weight;
        bool italic;
        const char* message; // empty: succeeds
    };
    const Case cases[] = {
        {FontFamily::playfairDisplay, 400, false, "Playfair Display is bundled in italic only."},
        {FontFamily::playfairDisplay, 400, true, ""},
        {FontFamily::playfairDisplay, 900, true, ""},
        {FontFamily::inter, 100, false, ""},
        {FontFamily::inter, 900, false, ""},
        {FontFamily::inter, 950, false, "Inter is bundled in weights 100 to 900, not 950."},
        {FontFamily::inter, 950, true, "Inter is bundled upright only."}, // slant first
        {FontFamily::ibmPlexMono, 400, false, ""},
        {FontFamily::ibmPlexMono, 500, false, "IBM Plex Mono is bundled in weights 400 to 400, not 500."},
        {FontFamily::poppins, 400, false, "Poppins is bundled in weights 700 to 700, not 400."},
    };
    for (const Case& c : cases) {
        const EngineFailure e = failureOf([&] { cache.font(c.family, c.weight, c.italic, 48, latin); });
        if (*c.message) {
            EXPECT_EQ(e, EngineFailure(-32602, c.message));
        } else {
            EXPECT_EQ(e.code, 0) << e.message;
        }
    }
}

TEST(FontCache, RefusedRequestsLeaveNothingBehind) {
    FontCache cache;
    for (int64_t w = 1000; w < 1400; ++w) {
        EXPECT_THROW(cache.font(FontFamily::inter, w, false, 48, latin), EngineFailure);
    }
    EXPECT_EQ(cache.fontCount(), 0u);
    EXPECT_EQ(cache.cascadeCount(), 0u);
}

TEST(FontCache, KeysAndBounds) {
    EXPECT_EQ(FontCache::fontKey(FontFamily::inter, 700, false, 48, {"en", "ja"}), "inter|700|false|48.0|en,ja");
    EXPECT_EQ(FontCache::fontKey(FontFamily::playfairDisplay, 400, true, 12.5, {}), "playfairDisplay|400|true|12.5|");
    FontCache cache;
    const auto a = cache.font(FontFamily::inter, 400, false, 48, {"ja", "ko"});
    EXPECT_NE(a, cache.font(FontFamily::inter, 400, false, 48, {"ko", "ja"}));
    EXPECT_NE(a, cache.font(FontFamily::inter, 400, false, 49, {"ja", "ko"}));
    EXPECT_EQ(a, cache.font(FontFamily::inter, 400, false, 48, {"ja", "ko"}));
    for (int i = 0; i < 300; ++i) cache.font(FontFamily::inter, 400, false, 10 + i, latin);
    EXPECT_LE(cache.fontCount(), FontCache::fontCapacity);
    for (int64_t w = 100; w <= 900; ++w) cache.font(FontFamily::inter, w, false, 48, latin);
    EXPECT_LE(cache.cascadeCount(), FontCache::cascadeCapacity);
    EXPECT_LE(cache.fontCount(), FontCache::fontCapacity);
}

TEST(FontCache, FontTableEmptiesWholeAtItsBound) {
    FontCache cache;
    for (int i = 0; i < 256; ++i) cache.font(FontFamily::inter, 400, false, 10 + i, latin);
    EXPECT_EQ(cache.fontCount(), 256u);
    cache.font(FontFamily::inter, 400, false, 9, latin);
    EXPECT_EQ(cache.fontCount(), 1u);
}

// Our widths are HarfBuzz's advances with kern off and the spacing after
// every glyph, for the same SFNT data at the same weight.
TEST(FontSet, WidthsAreHarfBuzzAdvances) {
    FontCache cache;
    const auto font = cache.font(FontFamily::inter, 650, false, 72, latin);
    const auto& face = std::get<std::shared_ptr<const FontFace>>(BundledFonts::face(FontFamily::inter).descriptor);
    hb_font_t* hb = hb_font_create(face->face());
    const int scale = static_cast<int>(face->upem()) * 64;
    hb_font_set_scale(hb, scale, scale);
    hb_variation_t wght{HB_TAG('w', 'g', 'h', 't'), 650};
    hb_font_set_variations(hb, &wght, 1);
    hb_feature_t noKern{HB_TAG('k', 'e', 'r', 'n'), 0, 0, ~0u};
    for (const char* word : {"AVATAR", "Typography", "office", "Wave"}) {
        hb_buffer_t* buf = hb_buffer_create();
        hb_buffer_add_utf8(buf, word, -1, 0, -1);
        hb_buffer_guess_segment_properties(buf);
        hb_shape(hb, buf, &noKern, 1);
        unsigned n = 0;
        const hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(buf, &n);
        double units = 0;
        for (unsigned i = 0; i < n; ++i) units += pos[i].x_advance;
        hb_buffer_destroy(buf);
        const auto shaped = font->shape(word);
        EXPECT_EQ(shaped->glyphs.size(), n) << word;
        EXPECT_NEAR(shaped->advance * 72, units / scale * 72, 1e-9) << word;
        for (const auto& g : shaped->glyphs) EXPECT_EQ(g.face, 0u) << word;
    }
    hb_font_destroy(hb);
    // The face is set to the asked weight, not its default instance.
    EXPECT_GT(cache.font(FontFamily::inter, 900, false, 72, latin)->shape("Wave")->advance,
              cache.font(FontFamily::inter, 100, false, 72, latin)->shape("Wave")->advance);
}

TEST(FontSet, FallbacksCoverOtherScripts) {
    FontCache cache;
    struct Case {
        const char* text;
        const char* face; // PostScript name prefix of the first glyph's face
    };
    const Case cases[] = {
        {"\u65e5\u672c\u8a9e\u306e\u6587", "NotoSansCJK"}, {"\ud55c\uad6d\uc5b4", "NotoSansCJK"},
        {"\u0645\u0631\u062d\u0628\u0627", "NotoSansArabic"}, {"\u0e2a\u0e27\u0e31\u0e2a\u0e14\u0e35", "NotoSansThai"},
        {"\u041f\u0440\u0438\u0432\u0435\u0442", "NotoSans"},    {"\U0001F600", "NotoColorEmoji"},
        {"\u0151", "NotoSans"}, // Hungarian o with double acute: latin-ext
    };
    for (const Case& c : cases) {
        const auto font = cache.font(FontFamily::inter, 400, false, 40, TextScript::cascadeLanguages(c.text));
        const auto shaped = font->shape(c.text);
        ASSERT_FALSE(shaped->glyphs.empty()) << c.text;
        for (const auto& g : shaped->glyphs) EXPECT_NE(g.id, 0u) << c.text;
        EXPECT_EQ(font->faceName(shaped->glyphs[0].face).rfind(c.face, 0), 0u)
            << c.text << " " << font->faceName(shaped->glyphs[0].face);
    }
}

TEST(FontSet, NoFontHasAGlyph) {
    FontCache cache;
    const auto font = cache.font(FontFamily::inter, 400, false, 40, latin);
    // A private-use code point no face of the cascade draws.
    const EngineFailure e = failureOf([&] { font->shape("ab\U000F0001"); });
    EXPECT_EQ(e, EngineFailure(-32002, "No font on this computer has a glyph for \u201cab\U000F0001\u201d."));
}

TEST(FontSet, RightToLeftGlyphsComeInVisualOrder) {
    FontCache cache;
    const auto font = cache.font(FontFamily::inter, 400, false, 40, TextScript::cascadeLanguages("\u05e9"));
    const auto shaped = font->shape("\u05e9\u05dc\u05d5\u05dd"); // shalom
    ASSERT_EQ(shaped->glyphs.size(), 4u);
    // The first glyph drawn (leftmost) is the last letter read.
    EXPECT_EQ(shaped->glyphs.front().cluster, 6u);
    EXPECT_EQ(shaped->glyphs.back().cluster, 0u);
}

TEST(FontSet, LineBreakSuggestions) {
    FontCache cache;
    const std::string thai = "\u0e2a\u0e27\u0e31\u0e2a\u0e14\u0e35\u0e04\u0e23\u0e31\u0e1a"; // two words
    const auto font = cache.font(FontFamily::inter, 400, false, 40, TextScript::cascadeLanguages(thai));
    const double whole = font->shape(thai)->advance * 40;
    // Just short of the whole word: the dictionary break after the first word.
    EXPECT_EQ(font->typesetter(thai, 0)->suggestLineBreak(0, whole - 1), 18u);
    // Narrower than any cluster: one whole cluster (a surrogate pair stays whole).
    EXPECT_EQ(font->typesetter("\U0001F600\U0001F600", 0)->suggestLineBreak(0, 1), 4u);
    // A base letter with its combining mark is one cluster.
    EXPECT_EQ(font->typesetter("e\u0301e\u0301", 0)->suggestLineBreak(0, 1), 3u);
}
