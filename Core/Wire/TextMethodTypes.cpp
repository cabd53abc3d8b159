#include "Core/Wire/TextMethodTypes.hpp"

namespace korvel {

TextMeasureParams TextMeasureParams::decode(const JSONReader& in) {
    TextMeasureParams p;
    in.read("plan", p.plan);
    return p;
}

void TextMeasureParams::encode(JSONWriter& out) const { out.write("plan", plan); }

TextMeasure TextMeasure::decode(const JSONReader& in) {
    TextMeasure m;
    in.read("id", m.id);
    in.read("lines", m.lines);
    in.read("scale", m.scale);
    in.read("overflowPx", m.overflowPx);
    in.read("issue", m.issue);
    return m;
}

void TextMeasure::encode(JSONWriter& out) const {
    out.write("id", id);
    out.write("lines", lines);
    out.write("scale", scale);
    out.write("overflowPx", overflowPx);
    out.writeOrNull("issue", issue);
}

TextMeasureResult TextMeasureResult::decode(const JSONReader& in) {
    TextMeasureResult r;
    in.read("items", r.items);
    return r;
}

void TextMeasureResult::encode(JSONWriter& out) const { out.write("items", items); }

TextLayoutParams TextLayoutParams::decode(const JSONReader& in) {
    TextLayoutParams p;
    in.read("plan", p.plan);
    in.read("ids", p.ids);
    return p;
}

void TextLayoutParams::encode(JSONWriter& out) const {
    out.write("plan", plan);
    out.write("ids", ids);
}

TextLayoutRow TextLayoutRow::decode(const JSONReader& in) {
    TextLayoutRow r;
    in.read("planLine", r.planLine);
    in.read("x", r.x);
    in.read("y", r.y);
    in.read("width", r.width);
    in.read("height", r.height);
    in.read("fontSize", r.fontSize);
    in.read("lineHeight", r.lineHeight);
    in.read("letterSpacing", r.letterSpacing);
    in.read("wordSpacing", r.wordSpacing);
    in.read("uppercase", r.uppercase);
    return r;
}

void TextLayoutRow::encode(JSONWriter& out) const {
    out.write("planLine", planLine);
    out.write("x", x);
    out.write("y", y);
    out.write("width", width);
    out.write("height", height);
    out.write("fontSize", fontSize);
    out.write("lineHeight", lineHeight);
    out.write("letterSpacing", letterSpacing);
    out.write("wordSpacing", wordSpacing);
    out.write("uppercase", uppercase);
}

TextLayoutItem TextLayoutItem::decode(const JSONReader& in) {
    TextLayoutItem i;
    in.read("id", i.id);
    in.read("x", i.x);
    in.read("y", i.y);
    in.read("width", i.width);
    in.read("height", i.height);
    in.read("scale", i.scale);
    in.read("rows", i.rows);
    return i;
}

void TextLayoutItem::encode(JSONWriter& out) const {
    out.write("id", id);
    out.write("x", x);
    out.write("y", y);
    out.write("width", width);
    out.write("height", height);
    out.write("scale", scale);
    out.write("rows", rows);
}

TextLayoutResult TextLayoutResult::decode(const JSONReader& in) {
    TextLayoutResult r;
    in.read("items", r.items);
    return r;
}

void TextLayoutResult::encode(JSONWriter& out) const { out.write("items", items); }

} // namespace korvel
