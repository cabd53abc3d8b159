#include "Core/Plan/TextItem.hpp"

namespace korvel {

bool TextItem::isArriving(int64_t atUs, const TextEntrance& e) const {
    // Widened so that times near the ends of the 64-bit range compare exactly.
    using Wide = __int128;
    if (Wide{atUs} < Wide{outStartUs} + Wide{e.fade.durationUs}) return true;
    for (const auto& line : lines) {
        for (const auto& run : line.runs) {
            if (run.enterUs && Wide{atUs} - Wide{e.durationUs} < Wide{*run.enterUs}) return true;
        }
    }
    return false;
}

TextRun TextRun::decode(const JSONReader& in) {
    TextRun r;
    in.read("text", r.text);
    in.read("outStartUs", r.outStartUs);
    in.read("outEndUs", r.outEndUs);
    in.read("keyword", r.keyword);
    in.read("enterUs", r.enterUs);
    return r;
}

void TextRun::encode(JSONWriter& out) const {
    out.write("text", text);
    out.write("outStartUs", outStartUs);
    out.write("outEndUs", outEndUs);
    out.write("keyword", keyword);
    out.write("enterUs", enterUs);
}

TextLine TextLine::decode(const JSONReader& in) {
    TextLine l;
    in.read("runs", l.runs);
    in.read("role", l.role);
    return l;
}

void TextLine::encode(JSONWriter& out) const {
    out.write("runs", runs);
    out.write("role", role);
}

TextItem TextItem::decode(const JSONReader& in) {
    TextItem t;
    in.read("id", t.id);
    in.read("role", t.role);
    in.read("outStartUs", t.outStartUs);
    in.read("outEndUs", t.outEndUs);
    in.read("lines", t.lines);
    in.read("box", t.box);
    in.read("style", t.style);
    in.read("activeWordHighlight", t.activeWordHighlight);
    in.read("highlight", t.highlight);
    in.read("entrance", t.entrance);
    return t;
}

void TextItem::encode(JSONWriter& out) const {
    out.write("id", id);
    out.write("role", role);
    out.write("outStartUs", outStartUs);
    out.write("outEndUs", outEndUs);
    out.write("lines", lines);
    out.write("box", box);
    out.write("style", style);
    out.write("activeWordHighlight", activeWordHighlight);
    out.write("highlight", highlight);
    out.write("entrance", entrance);
}

} // namespace korvel

namespace korvel {

std::optional<TextEntrance> TextItem::entranceIn(const std::map<std::string, TextEntrance>& table) const {
    bool anyTimed = false;
    bool anyUntimed = false;
    for (const auto& line : lines) {
        for (const auto& run : line.runs) (run.enterUs ? anyTimed : anyUntimed) = true;
    }
    if (entrance) {
        auto found = table.find(*entrance);
        if (found == table.end()) throw TextEntranceFailure{TextEntranceFailure::Kind::unknownEntrance, *entrance};
        if (anyUntimed) throw TextEntranceFailure{TextEntranceFailure::Kind::runWithoutTime, {}};
        return found->second;
    }
    if (anyTimed) throw TextEntranceFailure{TextEntranceFailure::Kind::runWithTimeButNoEntrance, {}};
    return std::nullopt;
}

} // namespace korvel
