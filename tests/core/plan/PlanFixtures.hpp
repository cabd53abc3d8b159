#pragma once

#include "Core/Timeline/PTSTable.hpp"
#include "Core/Plan/RenderPlan.hpp"

#include <string>
#include <vector>

namespace korvel::fixtures {

inline RenderPlan plan(int64_t durationUs, FrameRate fps = {30, 1}) {
    RenderPlan p;
    p.version = 1;
    p.canvas = {VideoFormat::vertical, 1080, 1920, fps};
    p.durationUs = durationUs;
    return p;
}

inline Segment segment(std::string assetId, int64_t srcStartUs, int64_t outStartUs, int64_t outEndUs,
                       double speed = 1.0) {
    Segment s;
    s.assetId = std::move(assetId);
    s.srcStartUs = srcStartUs;
    s.srcEndUs = srcStartUs + static_cast<int64_t>(static_cast<double>(outEndUs - outStartUs) * speed);
    s.outStartUs = outStartUs;
    s.outEndUs = outEndUs;
    s.speed = speed;
    return s;
}

inline TransformKeyframe keyframe(int64_t outUs, double x, double y, double scale) { return {outUs, {x, y}, scale}; }

// `count` frames `step` ticks apart from 0.
inline PTSTable table(int32_t timescale, int64_t step, int64_t count) {
    std::vector<int64_t> pts;
    for (int64_t i = 0; i < count; ++i) pts.push_back(i * step);
    return PTSTable(timescale, std::move(pts), count * step);
}

inline TextItem caption(std::string id, int64_t outStartUs, int64_t outEndUs) {
    TextItem t;
    t.id = std::move(id);
    t.outStartUs = outStartUs;
    t.outEndUs = outEndUs;
    t.box = {0.1, 0.7, 0.8, 0.2};
    t.style.color = "#FFFFFF";
    t.lines = {TextLine{{TextRun{"hello", outStartUs, outEndUs, false, std::nullopt}}, std::nullopt}};
    return t;
}

inline ColorStep look(std::optional<int64_t> outStartUs, std::optional<int64_t> outEndUs) {
    ColorStep c;
    c.kind = ColorStep::Look{"warm", 0.5};
    c.outStartUs = outStartUs;
    c.outEndUs = outEndUs;
    return c;
}

inline VideoOverlay overlay(std::string assetId, int64_t srcStartUs, int64_t srcEndUs, int64_t outStartUs,
                            int64_t outEndUs) {
    VideoOverlay o;
    o.id = "o-" + assetId;
    o.role = VideoOverlayRole::broll;
    o.assetId = std::move(assetId);
    o.srcStartUs = srcStartUs;
    o.srcEndUs = srcEndUs;
    o.outStartUs = outStartUs;
    o.outEndUs = outEndUs;
    o.rect = {0, 0, 0.5, 0.5};
    o.opacity = 1;
    return o;
}

} // namespace korvel::fixtures
