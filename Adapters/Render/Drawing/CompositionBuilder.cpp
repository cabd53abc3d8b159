#include "Adapters/Render/Drawing/CompositionBuilder.hpp"


namespace korvel {

namespace {
CompositionFacts::Video factsOf(const VideoSource& v) {
    return {v.table.timescale, v.table.pts.empty() ? 0 : v.table.pts.front(), v.table.endTicks};
}
} // namespace

BuiltComposition CompositionBuilder::build(std::optional<FrameRange> window) const {
    CompositionFacts facts;
    BuiltComposition built;
    for (const auto& [id, video] : inputs.videos) {
        facts.videos[id] = factsOf(video);
        built.videos[{CompositionSource::Kind::asset, id}] = std::make_shared<const VideoSource>(video);
    }
    if (inputs.matte) {
        facts.matte = factsOf(*inputs.matte);
        facts.matteAssetId = inputs.matteAssetId;
        built.videos[{CompositionSource::Kind::matte, ""}] = std::make_shared<const VideoSource>(*inputs.matte);
    }
    for (const auto& [key, matte] : inputs.overlayMattes) {
        facts.overlayMattes[key] = factsOf(matte.video);
        built.videos[{CompositionSource::Kind::overlayMatte, key}] = std::make_shared<const VideoSource>(matte.video);
    }
    if (inputs.plan.background) {
        if (const auto* asset = inputs.plan.background->fill.asset()) {
            facts.backgroundFillAsset = asset->assetId;
        }
    }
    facts.size = inputs.size;
    facts.hdr = inputs.recipe.dynamicRange == DynamicRange::keepHdr;
    built.composition = CompositionLayout::build(inputs.timeline, facts, window);
    built.scene = std::make_shared<GraphScene>(inputs, built.composition.layers, window);
    built.scene->preflight();
    return built;
}

} // namespace korvel
