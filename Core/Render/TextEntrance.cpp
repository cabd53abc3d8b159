#include "Core/Render/TextEntrance.hpp"

namespace korvel {

CubicBezier CubicBezier::decode(const JSONReader& in) {
    CubicBezier c;
    in.read("x1", c.x1);
    in.read("y1", c.y1);
    in.read("x2", c.x2);
    in.read("y2", c.y2);
    return c;
}

void CubicBezier::encode(JSONWriter& out) const {
    out.write("x1", x1);
    out.write("y1", y1);
    out.write("x2", x2);
    out.write("y2", y2);
}

TextEntranceStart TextEntranceStart::decode(const JSONReader& in) {
    TextEntranceStart s;
    in.read("opacity", s.opacity);
    in.read("shiftYShare", s.shiftYShare);
    in.read("scale", s.scale);
    in.read("blurPct", s.blurPct);
    return s;
}

void TextEntranceStart::encode(JSONWriter& out) const {
    out.write("opacity", opacity);
    out.write("shiftYShare", shiftYShare);
    out.write("scale", scale);
    out.write("blurPct", blurPct);
}

TextEntranceFade TextEntranceFade::decode(const JSONReader& in) {
    TextEntranceFade f;
    in.read("durationUs", f.durationUs);
    in.read("easing", f.easing);
    return f;
}

void TextEntranceFade::encode(JSONWriter& out) const {
    out.write("durationUs", durationUs);
    out.write("easing", easing);
}

TextEntrance TextEntrance::decode(const JSONReader& in) {
    TextEntrance e;
    in.read("durationUs", e.durationUs);
    in.read("easing", e.easing);
    in.read("from", e.from);
    in.read("fade", e.fade);
    return e;
}

void TextEntrance::encode(JSONWriter& out) const {
    out.write("durationUs", durationUs);
    out.write("easing", easing);
    out.write("from", from);
    out.write("fade", fade);
}

} // namespace korvel
