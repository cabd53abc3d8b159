#include "Core/Render/Canvas.hpp"

namespace korvel {

FrameRate FrameRate::decode(const JSONReader& in) {
    FrameRate r;
    in.read("num", r.num);
    in.requireAtLeastOne("num", r.num);
    in.read("den", r.den);
    in.requireAtLeastOne("den", r.den);
    return r;
}

void FrameRate::encode(JSONWriter& out) const {
    out.write("num", num);
    out.write("den", den);
}

Canvas Canvas::decode(const JSONReader& in) {
    Canvas c;
    in.read("format", c.format);
    in.read("width", c.width);
    in.read("height", c.height);
    in.read("fps", c.fps);
    return c;
}

void Canvas::encode(JSONWriter& out) const {
    out.write("format", format);
    out.write("width", width);
    out.write("height", height);
    out.write("fps", fps);
}

} // namespace korvel
