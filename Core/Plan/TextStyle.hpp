#pragma once

#include "Core/Wire/Contract.hpp"

#include <cstdint>
#include <string>

namespace korvel {

// The fifteen families the engine carries; a plan can name no other.
enum class FontFamily {
    inter,
    playfairDisplay,
    ibmPlexMono,
    montserrat,
    poppins,
    oswald,
    anton,
    bebasNeue,
    spaceGrotesk,
    dmSerifDisplay,
    lora,
    abrilFatface,
    caveat,
    pacifico,
    bangers,
};

template <> struct EnumNames<FontFamily> {
    static constexpr std::string_view typeName = "FontFamily";
    static constexpr std::array<std::string_view, 15> names{
        "inter",         "playfair_display", "ibm_plex_mono",    "montserrat", "poppins",
        "oswald",        "anton",            "bebas_neue",       "space_grotesk", "dm_serif_display",
        "lora",          "abril_fatface",    "caveat",           "pacifico",   "bangers",
    };
};

struct TextShadow {
    double offsetYPct = 0;
    double blurPct = 0;
    std::string color;
    double opacity = 0;

    bool operator==(const TextShadow&) const = default;
    static TextShadow decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct TextStyle {
    FontFamily font = FontFamily::inter;
    int64_t weight = 0;
    bool italic = false;
    double sizePct = 0;
    double lineHeight = 0;
    double letterSpacingEm = 0;
    std::string color;
    Nullable<TextShadow> shadow;

    bool operator==(const TextStyle&) const = default;
    static TextStyle decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct TextHighlight {
    std::string background;
    std::string color;

    // What highlighted runs use when their item names no highlight.
    static TextHighlight standard() { return {"#f3eeea", "#1e1c18"}; }

    bool operator==(const TextHighlight&) const = default;
    static TextHighlight decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
