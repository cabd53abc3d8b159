#include "Adapters/Render/InputResolver.hpp"

namespace korvel::InputResolver {

void checkContent(const RenderPlan& plan, const std::map<std::string, EngineSource, std::less<>>& sources) {
    if (!plan.assetContent) return;
    for (const auto& [id, hash] : *plan.assetContent) {
        auto source = sources.find(id);
        if (source != sources.end() && source->second.contentHash != hash) {
            throw EngineFailure::invalidParams("Asset " + id + " holds other content than this plan was compiled from.");
        }
    }
}

EngineFailure failure(const TimelineError& error) {
    switch (error.kind) {
    case TimelineError::Kind::missingSource:
        return EngineFailure::invalidParams("The render needs a source for asset " + error.assetId + ".");
    case TimelineError::Kind::emptySource:
        return EngineFailure::unsupportedFormat("Asset " + error.assetId + " has no frames that can be shown.");
    }
    return EngineFailure::internalError(error.what());
}

} // namespace korvel::InputResolver
