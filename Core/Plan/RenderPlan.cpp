#include "Core/Plan/RenderPlan.hpp"

namespace korvel {

RenderPlan RenderPlan::resolved(RenderVariant variant) const {
    if (variant == RenderVariant::after) return *this;
    RenderPlan plain;
    plain.version = version;
    plain.canvas = canvas;
    plain.segments.reserve(segments.size());
    for (const auto& s : segments) {
        plain.segments.push_back(Segment{
            .assetId = s.assetId,
            .srcStartUs = s.srcStartUs,
            .srcEndUs = s.srcEndUs,
            .outStartUs = s.outStartUs,
            .outEndUs = s.outEndUs,
            .speed = s.speed,
            .transform = Transform{{TransformKeyframe{s.outStartUs, {0.5, 0.5}, 1.0}}},
            .transitionIn = std::nullopt,
        });
    }
    plain.background = std::nullopt;
    plain.audioMix = audioMix;
    plain.timeMap = timeMap;
    plain.durationUs = durationUs;
    plain.textEntrances = std::nullopt;
    plain.assetContent = assetContent;
    return plain;
}

RenderPlan RenderPlan::decode(const JSONReader& in) {
    RenderPlan p;
    in.read("version", p.version);
    in.read("canvas", p.canvas);
    in.read("segments", p.segments);
    in.read("videoOverlays", p.videoOverlays);
    in.read("textItems", p.textItems);
    in.read("colorStack", p.colorStack);
    in.read("background", p.background);
    in.read("audioMix", p.audioMix);
    in.read("timeMap", p.timeMap);
    in.read("durationUs", p.durationUs);
    in.read("textEntrances", p.textEntrances);
    in.read("assetContent", p.assetContent);
    return p;
}

void RenderPlan::encode(JSONWriter& out) const {
    out.write("version", version);
    out.write("canvas", canvas);
    out.write("segments", segments);
    out.write("videoOverlays", videoOverlays);
    out.write("textItems", textItems);
    out.write("colorStack", colorStack);
    out.write("background", background);
    out.write("audioMix", audioMix);
    out.write("timeMap", timeMap);
    out.write("durationUs", durationUs);
    out.write("textEntrances", textEntrances);
    out.write("assetContent", assetContent);
}

} // namespace korvel
