#include "Core/Wire/LiveMethodTypes.hpp"

namespace korvel {

LiveParams LiveParams::decode(const JSONReader& in) {
    LiveParams p;
    in.read("plan", p.plan);
    in.read("sources", p.sources);
    in.read("mattes", p.mattes);
    in.read("audioPath", p.audioPath);
    in.read("maxLongEdge", p.maxLongEdge);
    if (p.maxLongEdge) in.requireAtLeastOne("maxLongEdge", *p.maxLongEdge);
    in.read("sound", p.sound);
    return p;
}

void LiveParams::encode(JSONWriter& out) const {
    out.write("plan", plan);
    out.write("sources", sources);
    out.write("mattes", mattes);
    out.write("audioPath", audioPath);
    out.write("maxLongEdge", maxLongEdge);
    out.write("sound", sound);
}

LiveResult LiveResult::decode(const JSONReader& in) {
    LiveResult r;
    in.read("id", r.id);
    in.read("durationUs", r.durationUs);
    in.read("frameCount", r.frameCount);
    in.read("width", r.width);
    in.read("height", r.height);
    in.read("structure", r.structure);
    return r;
}

void LiveResult::encode(JSONWriter& out) const {
    out.write("id", id);
    out.write("durationUs", durationUs);
    out.write("frameCount", frameCount);
    out.write("width", width);
    out.write("height", height);
    out.write("structure", structure);
}

} // namespace korvel
