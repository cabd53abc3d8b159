#include "Core/Wire/FrameMethodTypes.hpp"

namespace korvel {

FrameParams FrameParams::decode(const JSONReader& in) {
    FrameParams p;
    in.read("plan", p.plan);
    in.read("sources", p.sources);
    in.read("mattes", p.mattes);
    in.read("variant", p.variant);
    in.read("atUs", p.atUs);
    in.read("maxLongEdge", p.maxLongEdge);
    in.requireAtLeastOne("maxLongEdge", p.maxLongEdge);
    in.read("outPath", p.outPath);
    return p;
}

void FrameParams::encode(JSONWriter& out) const {
    out.write("plan", plan);
    out.write("sources", sources);
    out.write("mattes", mattes);
    out.write("variant", variant);
    out.write("atUs", atUs);
    out.write("maxLongEdge", maxLongEdge);
    out.write("outPath", outPath);
}

FrameResult FrameResult::decode(const JSONReader& in) {
    FrameResult r;
    in.read("path", r.path);
    in.read("width", r.width);
    in.read("height", r.height);
    in.read("ptsUs", r.ptsUs);
    return r;
}

void FrameResult::encode(JSONWriter& out) const {
    out.write("path", path);
    out.write("width", width);
    out.write("height", height);
    out.write("ptsUs", ptsUs);
}

} // namespace korvel
