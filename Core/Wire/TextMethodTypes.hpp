#pragma once

// Params and results of render.measureText and render.textLayout.

#include "Core/Wire/Contract.hpp"
#include "Core/Plan/RenderPlan.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

enum class TextMeasureIssue { overflow, noGlyph };

template <> struct EnumNames<TextMeasureIssue> {
    static constexpr std::string_view typeName = "TextMeasureIssue";
    static constexpr std::array<std::string_view, 2> names{"overflow", "no_glyph"};
};

struct TextMeasureParams {
    RenderPlan plan;

    bool operator==(const TextMeasureParams&) const = default;
    static TextMeasureParams decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// `issue` reads as optional but is always written, as null when unset.
struct TextMeasure {
    std::string id;
    int64_t lines = 0;
    double scale = 0;
    double overflowPx = 0;
    std::optional<TextMeasureIssue> issue;

    bool operator==(const TextMeasure&) const = default;
    static TextMeasure decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct TextMeasureResult {
    std::vector<TextMeasure> items;

    bool operator==(const TextMeasureResult&) const = default;
    static TextMeasureResult decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct TextLayoutParams {
    RenderPlan plan;
    std::vector<std::string> ids;

    bool operator==(const TextLayoutParams&) const = default;
    static TextLayoutParams decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct TextLayoutRow {
    int64_t planLine = 0;
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    double fontSize = 0;
    double lineHeight = 0;
    double letterSpacing = 0;
    double wordSpacing = 0;
    bool uppercase = false;

    bool operator==(const TextLayoutRow&) const = default;
    static TextLayoutRow decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct TextLayoutItem {
    std::string id;
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    double scale = 0;
    std::vector<TextLayoutRow> rows;

    bool operator==(const TextLayoutItem&) const = default;
    static TextLayoutItem decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct TextLayoutResult {
    std::vector<TextLayoutItem> items;

    bool operator==(const TextLayoutResult&) const = default;
    static TextLayoutResult decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
