#include "Core/Wire/SegmentMethodTypes.hpp"

namespace korvel {

SegmentListParams SegmentListParams::decode(const JSONReader& in) {
    SegmentListParams p;
    in.read("plan", p.plan);
    in.read("sources", p.sources);
    in.read("mattes", p.mattes);
    in.read("variant", p.variant);
    return p;
}

void SegmentListParams::encode(JSONWriter& out) const {
    out.write("plan", plan);
    out.write("sources", sources);
    out.write("mattes", mattes);
    out.write("variant", variant);
}

SegmentListEntry SegmentListEntry::decode(const JSONReader& in) {
    SegmentListEntry e;
    in.read("key", e.key);
    in.read("outStartUs", e.outStartUs);
    in.read("outEndUs", e.outEndUs);
    in.read("frameCount", e.frameCount);
    in.read("cached", e.cached);
    in.read("copied", e.copied);
    return e;
}

void SegmentListEntry::encode(JSONWriter& out) const {
    out.write("key", key);
    out.write("outStartUs", outStartUs);
    out.write("outEndUs", outEndUs);
    out.write("frameCount", frameCount);
    out.write("cached", cached);
    out.write("copied", copied);
}

SegmentListResult SegmentListResult::decode(const JSONReader& in) {
    SegmentListResult r;
    in.read("segments", r.segments);
    return r;
}

void SegmentListResult::encode(JSONWriter& out) const { out.write("segments", segments); }

SegmentParams SegmentParams::decode(const JSONReader& in) {
    SegmentParams p;
    in.read("plan", p.plan);
    in.read("sources", p.sources);
    in.read("mattes", p.mattes);
    in.read("key", p.key);
    in.read("variant", p.variant);
    in.read("track", p.track);
    in.read("outStartUs", p.outStartUs);
    in.read("outEndUs", p.outEndUs);
    in.read("outPath", p.outPath);
    return p;
}

void SegmentParams::encode(JSONWriter& out) const {
    out.write("plan", plan);
    out.write("sources", sources);
    out.write("mattes", mattes);
    out.write("key", key);
    out.write("variant", variant);
    out.write("track", track);
    out.write("outStartUs", outStartUs);
    out.write("outEndUs", outEndUs);
    out.write("outPath", outPath);
}

SegmentResult SegmentResult::decode(const JSONReader& in) {
    SegmentResult r;
    in.read("key", r.key);
    in.read("path", r.path);
    in.read("byteLength", r.byteLength);
    in.read("firstPtsUs", r.firstPtsUs);
    in.read("durationUs", r.durationUs);
    in.read("frameCount", r.frameCount);
    in.read("cached", r.cached);
    in.read("copied", r.copied);
    return r;
}

void SegmentResult::encode(JSONWriter& out) const {
    out.write("key", key);
    out.write("path", path);
    out.write("byteLength", byteLength);
    out.write("firstPtsUs", firstPtsUs);
    out.write("durationUs", durationUs);
    out.write("frameCount", frameCount);
    out.write("cached", cached);
    out.write("copied", copied);
}

} // namespace korvel
