#include "Core/Wire/AssetMethodTypes.hpp"

namespace korvel {

AssetColor AssetColor::decode(const JSONReader& in) {
    AssetColor c;
    in.read("primaries", c.primaries);
    in.read("transfer", c.transfer);
    in.read("matrix", c.matrix);
    in.read("fullRange", c.fullRange);
    in.read("hdr", c.hdr);
    return c;
}

void AssetColor::encode(JSONWriter& out) const {
    out.write("primaries", primaries);
    out.write("transfer", transfer);
    out.write("matrix", matrix);
    out.write("fullRange", fullRange);
    out.write("hdr", hdr);
}

ProbeParams ProbeParams::decode(const JSONReader& in) {
    ProbeParams p;
    in.read("path", p.path);
    return p;
}

void ProbeParams::encode(JSONWriter& out) const { out.write("path", path); }

ProbeResult ProbeResult::decode(const JSONReader& in) {
    ProbeResult r;
    in.read("kind", r.kind);
    in.read("contentHash", r.contentHash);
    in.read("durationUs", r.durationUs);
    in.read("width", r.width);
    in.read("height", r.height);
    in.read("fps", r.fps);
    in.read("firstPtsUs", r.firstPtsUs);
    in.read("hasAudio", r.hasAudio);
    in.read("color", r.color);
    return r;
}

void ProbeResult::encode(JSONWriter& out) const {
    out.write("kind", kind);
    out.write("contentHash", contentHash);
    out.write("durationUs", durationUs);
    out.write("width", width);
    out.write("height", height);
    out.write("fps", fps);
    out.write("firstPtsUs", firstPtsUs);
    out.write("hasAudio", hasAudio);
    out.write("color", color);
}

ThumbnailParams ThumbnailParams::decode(const JSONReader& in) {
    ThumbnailParams p;
    in.read("source", p.source);
    in.read("atUs", p.atUs);
    in.read("maxLongEdge", p.maxLongEdge);
    in.requireAtLeastOne("maxLongEdge", p.maxLongEdge);
    in.read("outPath", p.outPath);
    return p;
}

void ThumbnailParams::encode(JSONWriter& out) const {
    out.write("source", source);
    out.write("atUs", atUs);
    out.write("maxLongEdge", maxLongEdge);
    out.write("outPath", outPath);
}

ThumbnailResult ThumbnailResult::decode(const JSONReader& in) {
    ThumbnailResult r;
    in.read("path", r.path);
    in.read("width", r.width);
    in.read("height", r.height);
    in.read("ptsUs", r.ptsUs);
    return r;
}

void ThumbnailResult::encode(JSONWriter& out) const {
    out.write("path", path);
    out.write("width", width);
    out.write("height", height);
    out.write("ptsUs", ptsUs);
}

} // namespace korvel
