#include "Core/Plan/TextEntrance.hpp"

#include "Core/ClientText.hpp"

namespace korvel {

CubicBezier CubicBezier::decode(const JSONReader& in) {
    CubicBezier c;
    in.read("x1", c.x1);
    in.read("y1", c.y1);
    in.read("x2", c.x2);
    in.read("y2", c.y2);
    return c;
}

void CubicBezier::encode(JSONWriter& out) const {
    out.write("x1", x1);
    out.write("y1", y1);
    out.write("x2", x2);
    out.write("y2", y2);
}

TextEntranceStart TextEntranceStart::decode(const JSONReader& in) {
    TextEntranceStart s;
    in.read("opacity", s.opacity);
    in.read("shiftYShare", s.shiftYShare);
    in.read("scale", s.scale);
    in.read("blurPct", s.blurPct);
    return s;
}

void TextEntranceStart::encode(JSONWriter& out) const {
    out.write("opacity", opacity);
    out.write("shiftYShare", shiftYShare);
    out.write("scale", scale);
    out.write("blurPct", blurPct);
}

TextEntranceFade TextEntranceFade::decode(const JSONReader& in) {
    TextEntranceFade f;
    in.read("durationUs", f.durationUs);
    in.read("easing", f.easing);
    return f;
}

void TextEntranceFade::encode(JSONWriter& out) const {
    out.write("durationUs", durationUs);
    out.write("easing", easing);
}

TextEntrance TextEntrance::decode(const JSONReader& in) {
    TextEntrance e;
    in.read("durationUs", e.durationUs);
    in.read("easing", e.easing);
    in.read("from", e.from);
    in.read("fade", e.fade);
    return e;
}

void TextEntrance::encode(JSONWriter& out) const {
    out.write("durationUs", durationUs);
    out.write("easing", easing);
    out.write("from", from);
    out.write("fade", fade);
}

} // namespace korvel

#include <algorithm>
#include <cmath>

namespace korvel {

namespace {

struct Curve {
    const CubicBezier& c;
    double x(double t) const {
        const double u = 1 - t;
        return 3 * u * u * t * c.x1 + 3 * u * t * t * c.x2 + t * t * t;
    }
    double y(double t) const {
        const double u = 1 - t;
        return 3 * u * u * t * c.y1 + 3 * u * t * t * c.y2 + t * t * t;
    }
    double slope(double t) const {
        const double u = 1 - t;
        return 3 * u * u * c.x1 + 6 * u * t * (c.x2 - c.x1) + 3 * t * t * (1 - c.x2);
    }
    // Newton first; bisection from x again when it stalls or runs out of steps.
    double solve(double target) const {
        double t = target;
        for (int i = 0; i < 8; ++i) {
            const double err = x(t) - target;
            if (std::fabs(err) < 1e-7) return t;
            const double d = slope(t);
            if (std::fabs(d) < 1e-6) break;
            t -= err / d;
        }
        double low = 0, high = 1;
        t = target;
        for (int i = 0; i < 40; ++i) {
            const double err = x(t) - target;
            if (std::fabs(err) < 1e-7) break;
            if (err > 0) high = t;
            else low = t;
            t = (low + high) / 2;
        }
        return t;
    }
};

double eased(const CubicBezier& c, double p) { return c.value(p); }

} // namespace

double CubicBezier::value(double x) const {
    if (!(x > 0)) return 0; // NaN counts as not started
    if (x >= 1) return 1;
    Curve curve{*this};
    return curve.y(curve.solve(x));
}

TextPose TextEntrance::pose(int64_t sinceEnterUs) const {
    if (sinceEnterUs >= durationUs) return TextPose::atRest();
    const double p = static_cast<double>(sinceEnterUs) / static_cast<double>(durationUs);
    const double e = eased(easing, p);
    TextPose pose;
    pose.opacity = std::clamp(from.opacity + e * (1 - from.opacity), 0.0, 1.0);
    pose.shiftYShare = (1 - e) * from.shiftYShare;
    pose.scale = (1 - e) * (from.scale - 1) + 1;
    pose.blurPct = std::max(0.0, (1 - e) * from.blurPct);
    return pose;
}

double TextEntrance::fadeOpacity(int64_t sinceItemStartUs) const {
    if (sinceItemStartUs >= fade.durationUs) return 1;
    const double p = static_cast<double>(sinceItemStartUs) / static_cast<double>(fade.durationUs);
    return eased(fade.easing, p);
}

std::string TextEntranceFailure::text() const {
    switch (kind) {
    case Kind::unknownEntrance: return "unknownEntrance(\"" + ClientText::quoted(name) + "\")";
    case Kind::runWithoutTime: return "runWithoutTime";
    case Kind::runWithTimeButNoEntrance: return "runWithTimeButNoEntrance";
    }
    return {};
}

} // namespace korvel
