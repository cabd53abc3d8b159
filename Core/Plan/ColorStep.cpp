#include "Core/Plan/ColorStep.hpp"

#include "Core/ClientText.hpp"

namespace korvel {

RgbGains RgbGains::decode(const JSONReader& in) {
    RgbGains g;
    in.read("r", g.r);
    in.read("g", g.g);
    in.read("b", g.b);
    return g;
}

void RgbGains::encode(JSONWriter& out) const {
    out.write("r", r);
    out.write("g", g);
    out.write("b", b);
}

bool ColorStep::isActive(int64_t t) const {
    return (!outStartUs || t >= *outStartUs) && (!outEndUs || t < *outEndUs);
}

ColorStep ColorStep::decode(const JSONReader& in) {
    ColorStep step;
    // The bounds come first, so a wrongly typed bound is reported even
    // when the kind is missing.
    in.read("outStartUs", step.outStartUs);
    in.read("outEndUs", step.outEndUs);
    std::string kind;
    in.read("kind", kind);
    if (kind == "look") {
        Look look{};
        in.read("look", look.look);
        in.read("strength", look.strength);
        step.kind = std::move(look);
    } else if (kind == "correct") {
        Correct correct;
        in.read("adjustments", correct.adjustments);
        step.kind = std::move(correct);
    } else if (kind == "match") {
        Match match;
        in.read("gains", match.gains);
        step.kind = match;
    } else if (kind == "grain") {
        Grain grain{};
        in.read("strength", grain.strength);
        in.read("seed", grain.seed);
        step.kind = grain;
    } else {
        in.corrupted("kind", "Unknown color step " + ClientText::quoted(kind));
    }
    return step;
}

void ColorStep::encode(JSONWriter& out) const {
    if (const auto* l = look()) {
        out.write("kind", std::string("look"));
        out.write("look", l->look);
        out.write("strength", l->strength);
    } else if (const auto* c = correct()) {
        out.write("kind", std::string("correct"));
        out.write("adjustments", c->adjustments);
    } else if (const auto* m = match()) {
        out.write("kind", std::string("match"));
        out.write("gains", m->gains);
    } else if (const auto* g = grain()) {
        out.write("kind", std::string("grain"));
        out.write("strength", g->strength);
        out.write("seed", g->seed);
    }
    out.writeOrNull("outStartUs", outStartUs);
    out.writeOrNull("outEndUs", outEndUs);
}

} // namespace korvel
