#include "Core/Wire/AnalysisParams.hpp"

#include "Core/RPC.hpp"

namespace korvel {

bool AnalysisParams::isBackground() const { return priority && *priority == RPC::backgroundPriority; }

AnalysisParams AnalysisParams::decode(const JSONReader& in) {
    AnalysisParams p;
    in.read("assetId", p.assetId);
    in.read("source", p.source);
    std::string kind;
    in.read("kind", kind);
    p.kind = RequestedKind::named(std::move(kind));
    in.read("language", p.language);
    in.read("heardAs", p.heardAs);
    in.read("priority", p.priority);
    return p;
}

void AnalysisParams::encode(JSONWriter& out) const {
    out.write("assetId", assetId);
    out.write("source", source);
    out.write("kind", kind.name);
    out.write("language", language);
    out.write("heardAs", heardAs);
    out.write("priority", priority);
}

} // namespace korvel
