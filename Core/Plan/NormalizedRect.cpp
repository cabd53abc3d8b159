#include "Core/Plan/NormalizedRect.hpp"

namespace korvel {

NormalizedPoint NormalizedPoint::decode(const JSONReader& in) {
    NormalizedPoint p;
    in.read("x", p.x);
    in.read("y", p.y);
    return p;
}

void NormalizedPoint::encode(JSONWriter& out) const {
    out.write("x", x);
    out.write("y", y);
}

NormalizedRect NormalizedRect::decode(const JSONReader& in) {
    NormalizedRect r;
    in.read("x", r.x);
    in.read("y", r.y);
    in.read("w", r.w);
    in.read("h", r.h);
    return r;
}

void NormalizedRect::encode(JSONWriter& out) const {
    out.write("x", x);
    out.write("y", y);
    out.write("w", w);
    out.write("h", h);
}

} // namespace korvel
