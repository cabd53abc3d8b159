#include "Core/Plan/TextStyle.hpp"

namespace korvel {

TextShadow TextShadow::decode(const JSONReader& in) {
    TextShadow s;
    in.read("offsetYPct", s.offsetYPct);
    in.read("blurPct", s.blurPct);
    in.read("color", s.color);
    in.read("opacity", s.opacity);
    return s;
}

void TextShadow::encode(JSONWriter& out) const {
    out.write("offsetYPct", offsetYPct);
    out.write("blurPct", blurPct);
    out.write("color", color);
    out.write("opacity", opacity);
}

TextStyle TextStyle::decode(const JSONReader& in) {
    TextStyle s;
    in.read("font", s.font);
    in.read("weight", s.weight);
    in.read("italic", s.italic);
    in.read("sizePct", s.sizePct);
    in.read("lineHeight", s.lineHeight);
    in.read("letterSpacingEm", s.letterSpacingEm);
    in.read("color", s.color);
    in.read("shadow", s.shadow);
    return s;
}

void TextStyle::encode(JSONWriter& out) const {
    out.write("font", font);
    out.write("weight", weight);
    out.write("italic", italic);
    out.write("sizePct", sizePct);
    out.write("lineHeight", lineHeight);
    out.write("letterSpacingEm", letterSpacingEm);
    out.write("color", color);
    out.write("shadow", shadow);
}

TextHighlight TextHighlight::decode(const JSONReader& in) {
    TextHighlight h;
    in.read("background", h.background);
    in.read("color", h.color);
    return h;
}

void TextHighlight::encode(JSONWriter& out) const {
    out.write("background", background);
    out.write("color", color);
}

} // namespace korvel
