#include "Core/Plan/Segment.hpp"

namespace korvel {

namespace {

Transform::Sample sampleOf(const TransformKeyframe& k) { return {k.center, k.scale}; }

// Exact for any two 64-bit times; only then rounded to a double.
double span(int64_t from, int64_t to) {
    return static_cast<double>(static_cast<__int128>(to) - static_cast<__int128>(from));
}

} // namespace

Transform::Sample Transform::sampled(int64_t t) const {
    const auto& k = keyframes;
    if (k.empty()) return {{0.5, 0.5}, 1.0};
    if (t <= k.front().outUs) return sampleOf(k.front());
    if (t >= k.back().outUs || k.size() == 1) return sampleOf(k.back());
    for (std::size_t i = 0; i + 1 < k.size(); ++i) {
        const auto& a = k[i];
        const auto& b = k[i + 1];
        if (t < b.outUs) {
            double f = span(a.outUs, t) / span(a.outUs, b.outUs);
            return {{a.center.x + (b.center.x - a.center.x) * f, a.center.y + (b.center.y - a.center.y) * f},
                    a.scale + (b.scale - a.scale) * f};
        }
    }
    return sampleOf(k.back());
}

TransformKeyframe TransformKeyframe::decode(const JSONReader& in) {
    TransformKeyframe k;
    in.read("outUs", k.outUs);
    in.read("center", k.center);
    in.read("scale", k.scale);
    return k;
}

void TransformKeyframe::encode(JSONWriter& out) const {
    out.write("outUs", outUs);
    out.write("center", center);
    out.write("scale", scale);
}

Transform Transform::decode(const JSONReader& in) {
    Transform t;
    in.read("keyframes", t.keyframes);
    return t;
}

void Transform::encode(JSONWriter& out) const { out.write("keyframes", keyframes); }

TransitionIn TransitionIn::decode(const JSONReader& in) {
    TransitionIn t;
    in.read("style", t.style);
    in.read("durationUs", t.durationUs);
    return t;
}

void TransitionIn::encode(JSONWriter& out) const {
    out.write("style", style);
    out.write("durationUs", durationUs);
}

Segment Segment::decode(const JSONReader& in) {
    Segment s;
    in.read("assetId", s.assetId);
    in.read("srcStartUs", s.srcStartUs);
    in.read("srcEndUs", s.srcEndUs);
    in.read("outStartUs", s.outStartUs);
    in.read("outEndUs", s.outEndUs);
    in.read("speed", s.speed);
    in.requirePositiveFinite("speed", s.speed);
    in.read("transform", s.transform);
    in.read("transitionIn", s.transitionIn);
    return s;
}

void Segment::encode(JSONWriter& out) const {
    out.write("assetId", assetId);
    out.write("srcStartUs", srcStartUs);
    out.write("srcEndUs", srcEndUs);
    out.write("outStartUs", outStartUs);
    out.write("outEndUs", outEndUs);
    out.write("speed", speed);
    out.write("transform", transform);
    out.write("transitionIn", transitionIn);
}

} // namespace korvel
