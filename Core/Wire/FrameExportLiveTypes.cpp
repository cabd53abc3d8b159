#include "Core/Wire/FrameExportLiveTypes.hpp"

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

ExportParams ExportParams::decode(const JSONReader& in) {
    ExportParams p;
    in.read("plan", p.plan);
    in.read("sources", p.sources);
    in.read("mattes", p.mattes);
    in.read("codec", p.codec);
    in.read("videoBitrate", p.videoBitrate);
    in.read("qualityAsked", p.qualityAsked);
    in.read("outPath", p.outPath);
    in.read("audioPath", p.audioPath);
    in.read("dynamicRange", p.dynamicRange);
    return p;
}

void ExportParams::encode(JSONWriter& out) const {
    out.write("plan", plan);
    out.write("sources", sources);
    out.write("mattes", mattes);
    out.write("codec", codec);
    out.write("videoBitrate", videoBitrate);
    out.write("qualityAsked", qualityAsked);
    out.write("outPath", outPath);
    out.write("audioPath", audioPath);
    out.write("dynamicRange", dynamicRange);
}

ExportResult ExportResult::decode(const JSONReader& in) {
    ExportResult r;
    in.read("path", r.path);
    in.read("byteLength", r.byteLength);
    in.read("durationUs", r.durationUs);
    in.read("frameCount", r.frameCount);
    in.read("width", r.width);
    in.read("height", r.height);
    in.read("videoCopied", r.videoCopied);
    in.read("audioCopied", r.audioCopied);
    return r;
}

void ExportResult::encode(JSONWriter& out) const {
    out.write("path", path);
    out.write("byteLength", byteLength);
    out.write("durationUs", durationUs);
    out.write("frameCount", frameCount);
    out.write("width", width);
    out.write("height", height);
    out.write("videoCopied", videoCopied);
    out.write("audioCopied", audioCopied);
}

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
