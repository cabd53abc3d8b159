#include "Core/Wire/ExportMethodTypes.hpp"

namespace korvel {

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

} // namespace korvel
