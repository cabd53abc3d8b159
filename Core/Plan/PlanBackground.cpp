#include "Core/Plan/PlanBackground.hpp"

#include "Core/ClientText.hpp"

namespace korvel {

BackgroundFill BackgroundFill::decode(const JSONReader& in) {
    std::string type;
    in.read("type", type);
    if (type == "none") return {None{}};
    if (type == "solid") {
        Solid solid;
        in.read("color", solid.color);
        return {std::move(solid)};
    }
    if (type == "asset") {
        Asset asset;
        in.read("assetId", asset.assetId);
        return {std::move(asset)};
    }
    if (type == "blur") {
        Blur blur{};
        in.read("radiusPct", blur.radiusPct);
        return {blur};
    }
    if (type == "gray") return {Gray{}};
    in.corrupted("type", "Unknown fill " + ClientText::quoted(type));
}

void BackgroundFill::encode(JSONWriter& out) const {
    if (const auto* s = solid()) {
        out.write("type", std::string("solid"));
        out.write("color", s->color);
    } else if (const auto* a = asset()) {
        out.write("type", std::string("asset"));
        out.write("assetId", a->assetId);
    } else if (const auto* b = blur()) {
        out.write("type", std::string("blur"));
        out.write("radiusPct", b->radiusPct);
    } else if (isNone()) {
        out.write("type", std::string("none"));
    } else {
        out.write("type", std::string("gray"));
    }
}

PlanBackground PlanBackground::decode(const JSONReader& in) {
    PlanBackground b;
    in.read("fill", b.fill);
    in.read("matteKey", b.matteKey);
    in.read("outStartUs", b.outStartUs);
    in.read("outEndUs", b.outEndUs);
    return b;
}

void PlanBackground::encode(JSONWriter& out) const {
    out.write("fill", fill);
    out.write("matteKey", matteKey);
    out.write("outStartUs", outStartUs);
    out.write("outEndUs", outEndUs);
}

} // namespace korvel
