#include "Adapters/Render/CompositionBuilder.hpp"

#include "Adapters/Render/PlainScene.hpp"

namespace korvel {

namespace {
CompositionFacts::Video factsOf(const VideoSource& v) {
    return {v.table.timescale, v.table.pts.empty() ? 0 : v.table.pts.front(), v.table.endTicks};
}
} // namespace

CompositionBuilder::SceneMaker& CompositionBuilder::sceneMaker() {
    static SceneMaker maker = [](const RenderInputs& inputs, const LayerTracks& tracks, std::optional<FrameRange> window) {
        return std::make_shared<PlainScene>(inputs, tracks, window);
    };
    return maker;
}

BuiltComposition CompositionBuilder::build(std::optional<FrameRange> window) const {
    CompositionFacts facts;
    BuiltComposition built;
    for (const auto& [id, video] : inputs.videos) {
        facts.videos[id] = factsOf(*video);
        built.videos[{CompositionSource::Kind::asset, id}] = video;
    }
    if (inputs.matte) {
        facts.matte = factsOf(*inputs.matte);
        facts.matteAssetId = inputs.matteAssetId;
        built.videos[{CompositionSource::Kind::matte, ""}] = inputs.matte;
    }
    for (const auto& [key, matte] : inputs.overlayMattes) {
        facts.overlayMattes[key] = factsOf(*matte.video);
        built.videos[{CompositionSource::Kind::overlayMatte, key}] = matte.video;
    }
    if (inputs.plan.background) {
        if (const auto* asset = inputs.plan.background->fill.asset()) {
            facts.backgroundFillAsset = asset->assetId;
        }
    }
    facts.size = inputs.size;
    facts.hdr = inputs.recipe.hdr();
    built.composition = CompositionLayout::build(inputs.timeline, facts, window);
    built.scene = sceneMaker()(inputs, built.composition.layers, window);
    built.scene->preflight();
    return built;
}

} // namespace korvel
