#include "Adapters/Render/Sources/InputResolver.hpp"

#include "Adapters/Files/FileName.hpp"
#include "Adapters/Render/Sources/StillPictures.hpp"
#include "Core/ClientText.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <set>

namespace korvel {

void InputResolver::checkContent(const RenderPlan& plan, const std::map<std::string, EngineSource, std::less<>>& sources) {
    if (!plan.assetContent) return;
    for (const auto& [id, hash] : *plan.assetContent) {
        auto source = sources.find(id);
        if (source != sources.end() && source->second.contentHash != hash) {
            throw EngineFailure::invalidParams("Asset " + ClientText::quoted(id) + " holds other content than this plan was compiled from.");
        }
    }
}

EngineFailure InputResolver::failure(const TimelineError& error) {
    switch (error.kind) {
    case TimelineError::Kind::missingSource:
        return EngineFailure::invalidParams("The render needs a source for asset " + ClientText::quoted(error.assetId) + ".");
    case TimelineError::Kind::emptySource:
        return EngineFailure::unsupportedFormat("Asset " + error.assetId + " has no frames that can be shown.");
    }
    return EngineFailure::internalError(error.what());
}

bool InputResolver::isStill(const std::filesystem::path& path) {
    static const std::set<std::string, std::less<>> images{"jpg", "jpeg", "png", "heic", "heif", "gif",
                                                          "tif", "tiff", "webp", "bmp", "avif"};
    std::string ext = path.extension().string();
    if (ext.size() < 2) return false;
    ext.erase(0, 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return images.count(ext) > 0;
}

namespace {

std::set<std::string> referencedAssets(const RenderPlan& plan) {
    std::set<std::string> ids;
    for (const auto& s : plan.segments) ids.insert(s.assetId);
    for (const auto& o : plan.videoOverlays) ids.insert(o.assetId);
    if (plan.background)
        if (const auto* a = plan.background->fill.asset()) ids.insert(a->assetId);
    return ids;
}

} // namespace

void ContentChecks::add(std::shared_ptr<SourceLibrary> library, const EngineSource& source) {
    checks_.push_back(
        {std::async(std::launch::async, [library = std::move(library), source] { library->verify(source); }).share(),
         true});
}

void ContentChecks::addEnd(std::shared_ptr<SourceLibrary> library, std::shared_ptr<const VideoSource> video) {
    checks_.push_back({std::async(std::launch::async,
                                  [library = std::move(library), video = std::move(video)] { library->checkEnd(*video); })
                           .share(),
                       false});
}

void ContentChecks::settleHashes() {
    for (const auto& check : checks_) {
        if (!check.hash) continue;
        try {
            check.done.get();
        } catch (...) {
            settle(); // an earlier check's failure comes first
            throw;
        }
    }
}

void ContentChecks::settle() {
    for (const auto& check : checks_) check.done.get();
}

void ContentChecks::throwIfFailed() {
    for (const auto& check : checks_) {
        if (check.done.wait_for(std::chrono::seconds(0)) != std::future_status::ready) continue;
        try {
            check.done.get();
        } catch (...) {
            settle();
            throw;
        }
    }
}

std::shared_ptr<const VideoSource> InputResolver::opened(const std::filesystem::path& url, ContentChecks* later) const {
    if (!later) return library->video(url);
    auto video = library->opened(url);
    later->addEnd(library, video);
    return video;
}

RenderInputs InputResolver::resolve(const RenderPlan& plan, const std::optional<SourceMap>& sources,
                                    const std::optional<MatteMap>& mattes, RenderVariant variant, RenderSize size,
                                    ColorRecipe recipe, ContentChecks* later) const {
    if (!later) return resolved(plan, sources, mattes, variant, size, recipe, nullptr);
    try {
        return resolved(plan, sources, mattes, variant, size, recipe, later);
    } catch (...) {
        later->settle();
        throw;
    }
}

RenderInputs InputResolver::resolved(const RenderPlan& requested, const std::optional<SourceMap>& sources,
                                     const std::optional<MatteMap>& mattes, RenderVariant variant, RenderSize size,
                                     ColorRecipe recipe, ContentChecks* later) const {
    RenderInputs in;
    in.plan = requested.resolved(variant);
    const RenderPlan& plan = in.plan;
    for (const auto& id : referencedAssets(plan)) {
        const EngineSource* source = nullptr;
        if (sources) {
            auto s = sources->find(id);
            if (s != sources->end()) source = &s->second;
        }
        if (!source) throw EngineFailure::invalidParams("The render needs a source for asset " + ClientText::quoted(id) + ".");
        if (plan.assetContent) {
            auto declared = plan.assetContent->find(id);
            if (declared != plan.assetContent->end() && declared->second != source->contentHash) {
                throw EngineFailure::invalidParams("Asset " + ClientText::quoted(id) + " holds other content than this plan was compiled from.");
            }
        }
        std::filesystem::path url(source->path);
        if (later && !isStill(url)) {
            later->add(library, *source);
        } else if (library->contentHash(url) != source->contentHash) {
            throw EngineFailure::sourceUnavailable(nameOf(source->path) + " changed since it was imported.");
        }
        if (isStill(url)) {
            auto picture = StillPictures::decoded(url, std::max(size.width, size.height));
            if (!picture) throw EngineFailure::unsupportedFormat(nameOf(source->path) + " can't be opened as an image.");
            in.stills[id] = std::make_shared<const RGBAImage>(std::move(*picture));
        } else {
            in.videos[id] = *opened(url, later);
        }
    }
    if (plan.background) {
        const std::string& key = plan.background->matteKey;
        const MatteRef* ref = nullptr;
        if (mattes) {
            auto m = mattes->find(key);
            if (m != mattes->end()) ref = &m->second;
        }
        if (!ref) throw EngineFailure::invalidParams("The background needs the stored mask " + ClientText::quoted(key) + ".");
        in.matte = *opened(ref->path, later);
        in.matteAssetId = ref->assetId;
        in.despillGreen = ref->greenScreen.value_or(false);
    }
    for (const auto& overlay : plan.videoOverlays) {
        if (!overlay.matteKey || in.overlayMattes.count(*overlay.matteKey)) continue;
        const std::string& key = *overlay.matteKey;
        const MatteRef* ref = nullptr;
        if (mattes) {
            auto m = mattes->find(key);
            if (m != mattes->end()) ref = &m->second;
        }
        if (!ref) throw EngineFailure::invalidParams("The layout needs the stored mask " + ClientText::quoted(key) + ".");
        if (ref->assetId != overlay.assetId) {
            throw EngineFailure::invalidParams("The stored mask " + ClientText::quoted(key) + " is not a mask of asset " +
                                               ClientText::quoted(overlay.assetId) + ".");
        }
        in.overlayMattes[key] = OverlayMatte{*opened(ref->path, later), ref->greenScreen.value_or(false)};
    }
    std::map<std::string, PTSTable, std::less<>> tables;
    for (const auto& [id, video] : in.videos) tables[id] = video.table;
    std::set<std::string, std::less<>> stills;
    for (const auto& [id, still] : in.stills) stills.insert(id);
    try {
        in.timeline = ResolvedTimeline(plan, std::move(tables), stills);
    } catch (const TimelineError& e) {
        throw failure(e);
    }
    in.recipe = recipe;
    in.size = size;
    in.text = text;
    return in;
}

} // namespace korvel
