#include "Core/Wire/WireNumber.hpp"

#include "Core/Engine.hpp"

#include <cmath>

namespace korvel {

namespace WireNumber {

double db(double value) {
    if (!std::isfinite(value)) return value;
    return std::round(value * 100) / 100;
}

double fraction(double value) {
    if (std::isnan(value)) return value;
    if (value <= 0) return 0;
    if (value > 1) return 1;
    return std::round(value * 100'000) / 100'000;
}

} // namespace WireNumber

SpanModel SpanModel::decode(const JSONReader& in) {
    SpanModel s;
    in.read("startUs", s.startUs);
    in.read("endUs", s.endUs);
    return s;
}

void SpanModel::encode(JSONWriter& out) const {
    out.write("startUs", startUs);
    out.write("endUs", endUs);
}

RectModel RectModel::of(double x, double y, double w, double h) {
    return {WireNumber::fraction(x), WireNumber::fraction(y), WireNumber::fraction(w), WireNumber::fraction(h)};
}

RectModel RectModel::decode(const JSONReader& in) {
    RectModel r;
    in.read("x", r.x);
    in.read("y", r.y);
    in.read("w", r.w);
    in.read("h", r.h);
    return r;
}

void RectModel::encode(JSONWriter& out) const {
    out.write("x", x);
    out.write("y", y);
    out.write("w", w);
    out.write("h", h);
}

AnalysisHeader AnalysisHeader::decode(const JSONReader& in) {
    AnalysisHeader h;
    in.read("kind", h.kind);
    in.read("assetId", h.assetId);
    in.read("contentHash", h.contentHash);
    in.read("engineVersion", h.engineVersion);
    in.read("fingerprint", h.fingerprint);
    return h;
}

void AnalysisHeader::encode(JSONWriter& out) const {
    out.write("kind", kind);
    out.write("assetId", assetId);
    out.write("contentHash", contentHash);
    out.write("engineVersion", engineVersion);
    out.write("fingerprint", fingerprint);
}

AnalysisHeader analysisHeader(AnalysisKind kind, std::string assetId, std::string contentHash, std::string fingerprint) {
    return {std::string(rawValue(kind)), std::move(assetId), std::move(contentHash), std::string(Engine::version),
            std::move(fingerprint)};
}

namespace PlainJSON {
std::string text(const JSONValue& value) {
    const std::string canonical = value.canonical();
    std::string out;
    out.reserve(canonical.size() + canonical.size() / 16);
    // A slash can only stand inside a string, so every one is escaped.
    for (char c : canonical) {
        if (c == '/') out += "\\/";
        else out += c;
    }
    return out;
}
} // namespace PlainJSON

} // namespace korvel
