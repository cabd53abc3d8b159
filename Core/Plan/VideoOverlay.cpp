#include "Core/Plan/VideoOverlay.hpp"

namespace korvel {

VideoOverlay VideoOverlay::decode(const JSONReader& in) {
    VideoOverlay o;
    in.read("id", o.id);
    in.read("role", o.role);
    in.read("assetId", o.assetId);
    in.read("srcStartUs", o.srcStartUs);
    in.read("srcEndUs", o.srcEndUs);
    in.read("outStartUs", o.outStartUs);
    in.read("outEndUs", o.outEndUs);
    in.read("rect", o.rect);
    in.read("opacity", o.opacity);
    in.read("window", o.window);
    in.read("cornerRadiusPct", o.cornerRadiusPct);
    in.read("matteKey", o.matteKey);
    return o;
}

void VideoOverlay::encode(JSONWriter& out) const {
    out.write("id", id);
    out.write("role", role);
    out.write("assetId", assetId);
    out.write("srcStartUs", srcStartUs);
    out.write("srcEndUs", srcEndUs);
    out.write("outStartUs", outStartUs);
    out.write("outEndUs", outEndUs);
    out.write("rect", rect);
    out.write("opacity", opacity);
    out.write("window", window);
    out.write("cornerRadiusPct", cornerRadiusPct);
    out.write("matteKey", matteKey);
}

} // namespace korvel
