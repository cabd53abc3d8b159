#include "Core/Plan/Canvas.hpp"

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
    // Every frame is drawn and encoded: a rate past what video plays would
    // list millions of frames a window.
    const __int128 num = c.fps.num, den = c.fps.den;
    if (num < minFramesPerSecond * den || num > maxFramesPerSecond * den) {
        in.corrupted("fps", "Expected a frame rate of " + std::to_string(minFramesPerSecond) + " to " +
                                std::to_string(maxFramesPerSecond) + " frames per second but found " +
                                std::to_string(c.fps.num) + "/" + std::to_string(c.fps.den) + ".");
    }
    return c;
}

void Canvas::encode(JSONWriter& out) const {
    out.write("format", format);
    out.write("width", width);
    out.write("height", height);
    out.write("fps", fps);
}

} // namespace korvel
