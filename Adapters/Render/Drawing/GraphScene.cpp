#include "Adapters/Render/Drawing/GraphScene.hpp"

#include "Adapters/Render/Drawing/BackgroundFills.hpp"
#include "Adapters/Render/Drawing/Blur.hpp"
#include "Adapters/Render/Drawing/FrameMemory.hpp"
#include "Adapters/Render/Drawing/Grading.hpp"
#include "Adapters/Render/Drawing/MatteRefiner.hpp"
#include "Adapters/Render/Drawing/Placement.hpp"
#include "Adapters/Render/Drawing/Tiles.hpp"
#include "Adapters/Render/Drawing/Transitions.hpp"
#include "Adapters/Text/TextRasterizer.hpp"
#include "Core/ClientText.hpp"
#include "Core/Jobs.hpp"
#include "Core/Plan/ColorCorrection.hpp"
#include "Core/Picture/Compositing.hpp"
#include "Core/Timeline/Framing.hpp"
#include "Core/Picture/Kernels/Kernels.hpp"
#include "Core/Picture/Kernels/PlaneKernels.hpp"
#include "Core/Picture/GuidedUpsample.hpp"
#include "Core/Picture/Color/LookCube.hpp"
#include "Core/Picture/Orientation.hpp"
#include "Core/Picture/Steps/OverStep.hpp"
#include "Core/Picture/Steps/SanitiseStep.hpp"
#include "Core/Text/HexColor.hpp"
#include "Core/Text/Palette.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace korvel {

namespace {
std::string frameText(int64_t frame) { return "Frame " + std::to_string(frame); }

RGBAImage opaqueBlack(const render::RenderCanvas& canvas) {
    RGBAImage out = RGBAImage::blank(0, 0, canvas.pixelWidth(), canvas.pixelHeight());
    Tiles::rows(0, out.height, [&](int from, int to) {
        float* p = out.row(from);
        for (const float* end = out.row(to - 1) + static_cast<size_t>(out.width) * 4; p != end; p += 4) {
            p[0] = p[1] = p[2] = 0;
            p[3] = 1;
        }
    });
    return out;
}

RGBAImage onCanvas(const render::RenderCanvas& canvas, const RGBAImage& picture) {
    RGBAImage out = RGBAImage::transparent(0, 0, canvas.pixelWidth(), canvas.pixelHeight());
    Tiles::rows(0, out.height, [&](int from, int to) { Compositing::over(out, picture, from, to); });
    return out;
}

// Coverage of a rounded rectangle, one pixel of antialiasing at its edge.
void clipToRoundedRect(RGBAImage& image, const render::Rect& rect, double radius, bool colourOnly) {
    for (int y = 0; y < image.height; ++y) {
        float* p = image.row(y);
        double cy = image.y + y + 0.5;
        for (int x = 0; x < image.width; ++x, p += 4) {
            double cx = image.x + x + 0.5;
            double qx = std::max(std::fabs(cx - rect.midX()) - (rect.width * 0.5 - radius), 0.0);
            double qy = std::max(std::fabs(cy - rect.midY()) - (rect.height * 0.5 - radius), 0.0);
            double inner = std::min(std::max(std::fabs(cx - rect.midX()) - rect.width * 0.5,
                                             std::fabs(cy - rect.midY()) - rect.height * 0.5), 0.0);
            double distance = std::hypot(qx, qy) - radius + inner;
            float cover = static_cast<float>(std::clamp(0.5 - distance, 0.0, 1.0));
            for (int c = 0; c < (colourOnly ? 3 : 4); ++c) p[c] *= cover;
        }
    }
}

void scale(RGBAImage& image, float factor, bool colourOnly) {
    for (size_t i = 0; i < image.pixels.size(); i += 4)
        for (int c = 0; c < (colourOnly ? 3 : 4); ++c) image.pixels[i + c] *= factor;
}

// The picture upright at (0, 0); shared as it is when it already is.
std::shared_ptr<const RGBAImage> upright(std::shared_ptr<const RGBAImage> picture, int orientation) {
    bool turned = orientation >= 2 && orientation <= 8;
    if (!turned && picture->x == 0 && picture->y == 0) return picture;
    return std::make_shared<const RGBAImage>(Orientation::upright(*picture, orientation));
}

// The picture covering the canvas, blurred. A wide blur hides how the
// picture was brought to the canvas, so its shrunk copy is taken straight
// from the part of the picture that covers it.
RGBAImage blurredBackdrop(const Placement& placement, const RGBAImage& picture) {
    const render::RenderCanvas& canvas = placement.canvas;
    const double sigma = 6 * canvas.unit, limit = std::hypot(canvas.width, canvas.height);
    if (Kernels::references() || Blur::reduction(sigma, limit) == 1) {
        return Blur::gaussian(onCanvas(canvas, placement.covered(picture, canvas.rect)), sigma, limit);
    }
    const double s = std::max(canvas.width / picture.width, canvas.height / picture.height);
    const double w = canvas.width / s, h = canvas.height / s;
    auto span = [](double from, double size, int whole, int& first, int& last) {
        first = std::clamp(static_cast<int>(std::lround(from)), 0, whole - 1);
        last = std::clamp(static_cast<int>(std::lround(from + size)), first + 1, whole);
    };
    int left = 0, right = 0, top = 0, bottom = 0;
    span((picture.width - w) / 2, w, picture.width, left, right);
    span((picture.height - h) / 2, h, picture.height, top, bottom);
    return Blur::gaussianStretched(picture, left, top, right, bottom, canvas.pixelWidth(), canvas.pixelHeight(), sigma,
                                   limit);
}

// The placed mask snapped to the placed picture's edges, over `rect`.
RGBAImage upsampled(const RGBAImage& mask, const RGBAImage& picture, double ratio) {
    if (mask.empty() || picture.empty()) return mask;
    // A mask already over the picture's rectangle is refined as it is: its
    // values were made sane when it was drawn.
    const bool over = mask.x == picture.x && mask.y == picture.y && mask.width == picture.width &&
                      mask.height == picture.height;
    RGBAImage copy;
    if (!over) {
        copy = RGBAImage::transparent(picture.x, picture.y, picture.width, picture.height);
        Tiles::rows(copy.y, copy.y + copy.height, [&](int from, int to) { Compositing::over(copy, mask, from, to); });
    }
    const RGBAImage& m = over ? mask : copy;
    int radius = static_cast<int>(std::clamp(std::ceil(3.0 / std::max(ratio, 0.01)), 1.0, 24.0));
    RGBAImage out = RGBAImage::blank(picture.x, picture.y, picture.width, picture.height);
    // Each band pays for margins of twice the radius: bands are kept tall.
    Tiles::bands(0, out.height, 64, [&](int from, int to) {
        GuidedUpsample::refineRows(m, picture, radius, 0.05f * 0.05f, out, from, to);
    });
    return out;
}
} // namespace

GraphScene::GraphScene(RenderInputs inputs, LayerTracks tracks, std::optional<FrameRange> window)
    : inputs_(std::move(inputs)), tracks_(std::move(tracks)), canvas_(inputs_.size) {
    Placement placement{canvas_, inputs_.recipe};
    fills_ = std::make_unique<BackgroundFills>(inputs_.stills, inputs_.videos, tracks_.backgroundFill, placement);
    grading_ = std::make_unique<Grading>(inputs_.plan.colorStack, inputs_.recipe, canvas_, inputs_.timeline);
    if (!inputs_.text) inputs_.text = std::make_shared<TextCaches>();
    text_ = std::make_unique<TextRasterizer>(inputs_.size, canvas_.unit,
                                             inputs_.plan.textEntrances.value_or(std::map<std::string, TextEntrance>{}),
                                             *inputs_.text);
    if (!window) {
        textItems_ = inputs_.plan.textItems;
    } else {
        int64_t startUs = atUs(window->lowerBound), endUs = atUs(window->upperBound);
        for (const auto& item : inputs_.plan.textItems)
            if (startUs < item.outEndUs && item.outStartUs < endUs) textItems_.push_back(item);
    }
    const FrameGrid& grid = inputs_.timeline.grid;
    double frameMs = grid.timescale > 0 ? static_cast<double>(grid.ticksPerFrame) / grid.timescale * 1000 : 0;
    timings_ = FrameTimings(frameMs);
}

GraphScene::~GraphScene() = default;

int64_t GraphScene::atUs(int64_t frame) const { return inputs_.timeline.grid.us(frame); }

void GraphScene::preflight() {
    for (const auto& item : textItems_) {
        text_->entrance(item); // resolved every time, even for validated text
        std::string key = TextRasterizer::validationKey(item);
        if (text_->validated()->contains(key)) continue;
        Palette(item, TextRasterizer::defaultHighlight());
        text_->layout(item);
        text_->validated()->insert(key);
    }
    for (const auto& step : inputs_.plan.colorStack) {
        if (const auto* look = step.look()) {
            const auto& names = LookCube::names();
            if (std::find(names.begin(), names.end(), look->look) == names.end()) {
                throw EngineFailure::invalidParams("The look " + ClientText::quoted(look->look) + " does not exist.");
            }
        } else if (const auto* correct = step.correct()) {
            ColorCorrection::check(correct->adjustments);
        }
    }
    if (inputs_.plan.background.hasValue()) {
        if (const auto* solid = inputs_.plan.background->fill.solid()) HexColor::components(solid->color);
    }
}

std::shared_ptr<const RGBAImage> GraphScene::shownClip(const ResolvedSegment& seg, std::optional<int32_t> track,
                                                      int64_t frame, const FrameSource& source) const {
    std::shared_ptr<const RGBAImage> shown;
    if (seg.still) {
        auto still = inputs_.stills.find(seg.assetId);
        if (still == inputs_.stills.end() || !still->second) {
            throw EngineFailure::internalError(frameText(frame) + " has no picture for its photo.");
        }
        shown = upright(still->second, 1);
    } else {
        std::shared_ptr<const RGBAImage> decoded = track && source ? source(*track) : nullptr;
        auto video = inputs_.videos.find(seg.assetId);
        if (!decoded || video == inputs_.videos.end()) {
            throw EngineFailure::internalError(frameText(frame) + " has no decoded source for its clip.");
        }
        shown = upright(std::move(decoded), video->second.orientation());
    }
    if (shown->empty()) throw EngineFailure::internalError(frameText(frame) + " has no decoded source for its clip.");
    return shown;
}

bool GraphScene::replacesBackground(const ResolvedSegment& seg, const ComposedRange& range) const {
    return range.background && inputs_.plan.background.hasValue() && inputs_.matteAssetId &&
           *inputs_.matteAssetId == seg.assetId;
}

RGBAImage GraphScene::clip(int64_t index, ClipRole role, int64_t incoming, int64_t frame, const ComposedRange& range,
                           const FrameSource& source) const {
    const ResolvedSegment& seg = inputs_.timeline.segments.at(static_cast<size_t>(index));
    auto lookUp = [](const std::map<int64_t, int32_t>& map, int64_t key) -> std::optional<int32_t> {
        auto found = map.find(key);
        return found == map.end() ? std::nullopt : std::optional<int32_t>(found->second);
    };
    std::optional<int32_t> track = role == ClipRole::main ? lookUp(tracks_.clips, index) : lookUp(tracks_.tails, incoming);
    std::optional<int32_t> maskTrack =
        role == ClipRole::main ? lookUp(tracks_.masks, index) : lookUp(tracks_.maskTails, incoming);

    std::shared_ptr<const RGBAImage> shown = shownClip(seg, track, frame, source);
    const RGBAImage& picture = *shown;

    Placement placement{canvas_, inputs_.recipe};
    Transform::Sample sample = seg.transform.sampled(atUs(frame));
    FramingInput framing{static_cast<double>(picture.width), static_cast<double>(picture.height), canvas_.width,
                         canvas_.height};
    SourceWindow window = framing.window(sample.center, sample.scale);
    bool past = window.showsPastTheSource(framing.sourceWidth, framing.sourceHeight);
    RGBAImage placed;
    if (past) {
        placed = placement.placedExactly(picture, window, blurredBackdrop(placement, picture));
    } else {
        placed = placement.fitted(picture, window);
    }

    if (!replacesBackground(seg, range)) return placed;
    std::shared_ptr<const RGBAImage> maskFrame = maskTrack && source ? source(*maskTrack) : nullptr;
    if (!maskFrame || !inputs_.matte) throw EngineFailure::internalError(frameText(frame) + " has no decoded mask.");
    std::shared_ptr<const RGBAImage> uprightMask = upright(maskFrame, inputs_.matte->orientation());
    const RGBAImage& mask = *uprightMask;
    if (mask.empty()) throw EngineFailure::internalError(frameText(frame) + " has no decoded mask.");
    // The mask takes the picture's size, each axis on its own, and is then
    // framed exactly like the picture. Only its red value (the coverage) is
    // read, which is the same over an opaque black backdrop and over none.
    RGBAImage placedMask = past ? placement.placedExactlyStretched(mask, picture.width, picture.height, window,
                                                                   RGBAImage{})
                                : placement.fittedStretched(mask, picture.width, picture.height, window);
    double ratio = std::min(mask.width * (window.width / framing.sourceWidth) / canvas_.width,
                            mask.height * (window.height / framing.sourceHeight) / canvas_.height);
    if (ratio < 1) placedMask = upsampled(placedMask, placed, ratio);
    RGBAImage fill = fills_->image(inputs_.plan.background->fill, placed, frame, source);
    MatteRefiner refiner{canvas_, inputs_.despillGreen};
    return refiner.replacingBackground(placed, placedMask, fill);
}

struct GraphScene::PlacedOverlay {
    std::shared_ptr<const RGBAImage> shown;
    render::Rect rect;
    RGBAImage placed;
    float opacity = 1;
    std::optional<double> radius;
};

GraphScene::PlacedOverlay GraphScene::placedOverlay(int64_t index, int64_t frame, const FrameSource& source) const {
    const ResolvedOverlay& ov = inputs_.timeline.overlays.at(static_cast<size_t>(index));
    std::shared_ptr<const RGBAImage> shown;
    if (auto still = inputs_.stills.find(ov.assetId); still != inputs_.stills.end() && still->second) {
        shown = upright(still->second, 1);
    } else {
        auto track = tracks_.overlays.find(index);
        std::shared_ptr<const RGBAImage> decoded = track != tracks_.overlays.end() && source ? source(track->second) : nullptr;
        auto video = inputs_.videos.find(ov.assetId);
        if (!decoded || video == inputs_.videos.end()) {
            throw EngineFailure::internalError(frameText(frame) + " has no decoded overlay.");
        }
        shown = upright(std::move(decoded), video->second.orientation());
    }
    if (shown->empty()) throw EngineFailure::internalError(frameText(frame) + " has no decoded overlay.");
    const RGBAImage& picture = *shown;
    Placement placement{canvas_, inputs_.recipe};
    RGBAImage part = ov.window ? Placement::part(picture, *ov.window) : picture;
    render::Rect rect{ov.rect.x * canvas_.width, ov.rect.y * canvas_.height, ov.rect.w * canvas_.width,
                      ov.rect.h * canvas_.height};
    RGBAImage placed = ov.role == VideoOverlayRole::logo ? placement.contained(part, rect) : placement.covered(part, rect);
    // Client values that are not numbers, or out of range, are held to sense.
    float opacity = std::isfinite(ov.opacity) ? static_cast<float>(std::clamp(ov.opacity, 0.0, 1.0)) : 1.0f;
    std::optional<double> radius;
    if (ov.cornerRadiusPct && std::isfinite(*ov.cornerRadiusPct) && *ov.cornerRadiusPct > 0) {
        radius = std::min(std::min(rect.width, rect.height) * 0.5, *ov.cornerRadiusPct * canvas_.width / 100);
    }
    return {std::move(shown), rect, std::move(placed), opacity, radius};
}

RGBAImage GraphScene::composite(int64_t index, int64_t frame, RGBAImage under, const FrameSource& source) const {
    const ResolvedOverlay& ov = inputs_.timeline.overlays.at(static_cast<size_t>(index));
    PlacedOverlay layer = placedOverlay(index, frame, source);
    const RGBAImage& picture = *layer.shown;
    const render::Rect& rect = layer.rect;
    RGBAImage& placed = layer.placed;
    const float opacity = layer.opacity;
    const std::optional<double>& radius = layer.radius;
    Placement placement{canvas_, inputs_.recipe};
    if (!ov.matteKey) {
        if (radius) clipToRoundedRect(placed, rect, *radius, false);
        if (opacity < 1) scale(placed, opacity, false);
        Tiles::rows(0, under.height, [&](int from, int to) { Compositing::over(under, placed, from, to); });
        return under;
    }
    auto maskTrack = tracks_.overlayMasks.find(index);
    auto matte = inputs_.overlayMattes.find(*ov.matteKey);
    std::shared_ptr<const RGBAImage> maskFrame =
        maskTrack != tracks_.overlayMasks.end() && source ? source(maskTrack->second) : nullptr;
    if (!maskFrame || matte == inputs_.overlayMattes.end()) {
        throw EngineFailure::internalError(frameText(frame) + " has no decoded mask for its layout.");
    }
    RGBAImage decodedMask = Orientation::upright(*maskFrame, matte->second.video.orientation());
    if (decodedMask.empty()) throw EngineFailure::internalError(frameText(frame) + " has no decoded mask for its layout.");
    // The mask brought to the picture's size, each axis on its own, then cut like it.
    RGBAImage mask = Placement::stretched(decodedMask, picture.width, picture.height);
    RGBAImage maskPart = ov.window ? Placement::part(mask, *ov.window) : mask;
    double ww = ov.window ? ov.window->w : 1, wh = ov.window ? ov.window->h : 1;
    double ratio = std::min(ww * decodedMask.width / rect.width, wh * decodedMask.height / rect.height);
    RGBAImage placedMask = placement.covered(maskPart, rect);
    if (ratio < 1) placedMask = upsampled(placedMask, placed, ratio);
    if (radius) clipToRoundedRect(placedMask, rect, *radius, true);
    if (opacity < 1) scale(placedMask, opacity, true);
    MatteRefiner refiner{canvas_, matte->second.greenScreen};
    return refiner.replacingBackground(onCanvas(canvas_, placed), placedMask, under);
}

std::optional<RGBAImage> GraphScene::banded(int64_t frame, const ComposedRange& range, const FrameSource& source,
                                            PixelDomain out, const SignalSource& signals, const PictureRowSource& rows) const {
    // The scalar references draw pass by pass, the road the bands must match.
    if (!range.segment || Kernels::references()) return std::nullopt;
    const int64_t index = *range.segment;
    const ResolvedSegment& seg = inputs_.timeline.segments.at(static_cast<size_t>(index));
    if ((seg.transition && range.transitioning) || replacesBackground(seg, range)) return std::nullopt;
    for (int64_t o : range.overlays) {
        const ResolvedOverlay& ov = inputs_.timeline.overlays.at(static_cast<size_t>(o));
        if (ov.role != VideoOverlayRole::logo || ov.matteKey) return std::nullopt;
    }
    const int64_t t = atUs(frame);
    if (grading_->needsPicture(t)) return std::nullopt;
    auto found = tracks_.clips.find(index);
    const std::optional<int32_t> track =
        found == tracks_.clips.end() ? std::nullopt : std::optional<int32_t>(found->second);
    // A standard-range clip read straight is already in the grading's
    // coding: its signal is taken as it is, not brought into the working
    // space and encoded again, when nothing but the copy of whole rows
    // comes before the chain's first step in that coding.
    std::optional<FrameConversion::SignalRows> signal;
    auto video = inputs_.videos.find(seg.assetId);
    const bool upright = track && !seg.still && video != inputs_.videos.end() && video->second.orientation() == 1;
    if (signals && upright && inputs_.recipe.gammaSpace() == ColorSpace::itur709) {
        signal = signals(*track, PlaneKernels::TargetCurve::bt709);
    }
    // Or its picture row by row, for a clip only shrunk onto the canvas.
    std::optional<FrameConversion::PictureRows> picture;
    if (!signal && rows && upright) picture = rows(*track);
    std::shared_ptr<const RGBAImage> shown;
    if (!signal && !picture) shown = shownClip(seg, track, frame, source);
    const int width = signal ? signal->width() : picture ? picture->width() : shown->width;
    const int height = signal ? signal->height() : picture ? picture->height() : shown->height;
    Transform::Sample sample = seg.transform.sampled(t);
    FramingInput framing{static_cast<double>(width), static_cast<double>(height), canvas_.width, canvas_.height};
    SourceWindow window = framing.window(sample.center, sample.scale);
    if (window.showsPastTheSource(framing.sourceWidth, framing.sourceHeight)) return std::nullopt;

    // The steps the passes would run one after another, fused: the chain so
    // far is cleaned where a pass would have ended before each logo.
    PixelChain chain(inputs_.recipe.gammaSpace());
    RGBAImage unused;
    grading_->graded(unused, t, frame, chain);
    bool logos = false;
    for (int64_t o : range.overlays) {
        PlacedOverlay layer = placedOverlay(o, frame, source);
        if (layer.radius) clipToRoundedRect(layer.placed, layer.rect, *layer.radius, false);
        if (layer.opacity < 1) scale(layer.placed, layer.opacity, false);
        chain.add(std::make_unique<SanitiseStep>());
        chain.add(std::make_unique<OverStep>(std::make_shared<const RGBAImage>(std::move(layer.placed))));
        logos = true;
    }
    bool texts = false;
    for (const auto& item : textItems_) {
        auto layer = text_->sharedLayer(item, t);
        if (!layer) continue;
        if (logos && !texts) chain.add(std::make_unique<SanitiseStep>());
        chain.add(std::make_unique<OverStep>(std::move(layer)));
        texts = true;
    }
    Placement placement{canvas_, inputs_.recipe};
    if (signal && chain.entry() == PixelDomain::gammaStraight && placement.fitsAsIs(width, height, window)) {
        RGBAImage drawn = RGBAImage::blank(0, 0, width, height);
        Tiles::rows(0, height, [&](int from, int to) {
            thread_local std::vector<float> planes;
            const auto line = static_cast<size_t>(width);
            planes.resize(3 * line);
            for (int y = from; y < to; ++y) {
                signal->row(y, planes.data(), planes.data() + line, planes.data() + 2 * line);
                PlaneKernels::interleave(planes.data(), planes.data() + line, planes.data() + 2 * line, drawn.row(y), width, {});
            }
            Tiles::runRows(drawn, chain, from, to, out, PixelDomain::gammaStraight);
        });
        return drawn;
    }
    auto then = [&](RGBAImage& drawn, int from, int to) { Tiles::runRows(drawn, chain, from, to, out); };
    if (!picture && !shown && rows && upright) picture = rows(*track);
    if (picture) {
        const FrameConversion::PictureRows& read = *picture;
        auto row = [&read](int y, float* rgba) { read.row(y, rgba); };
        if (auto drawn = placement.fittedShrunk(row, read.width(), read.height(), window, then)) return drawn;
    }
    if (!shown) shown = shownClip(seg, track, frame, source);
    return placement.fitted(*shown, window, then);
}

std::optional<int32_t> GraphScene::shownAsIs(int64_t frame, const ComposedRange& range) const {
    // What `banded` would draw, with nothing to draw but the copy.
    if (!range.segment || Kernels::references() || !range.overlays.empty()) return std::nullopt;
    const int64_t index = *range.segment;
    const ResolvedSegment& seg = inputs_.timeline.segments.at(static_cast<size_t>(index));
    if (seg.still || (seg.transition && range.transitioning) || replacesBackground(seg, range)) return std::nullopt;
    auto track = tracks_.clips.find(index);
    auto video = inputs_.videos.find(seg.assetId);
    if (track == tracks_.clips.end() || video == inputs_.videos.end()) return std::nullopt;
    const int orientation = video->second.orientation();
    const int width = canvas_.pixelWidth(), height = canvas_.pixelHeight();
    const PictureSize natural{static_cast<double>(width), static_cast<double>(height)};
    if ((orientation >= 2 && orientation <= 8) || video->second.naturalSize != natural) return std::nullopt;
    const int64_t t = atUs(frame);
    if (grading_->needsPicture(t)) return std::nullopt;
    PixelChain chain(inputs_.recipe.gammaSpace());
    RGBAImage unused;
    grading_->graded(unused, t, frame, chain);
    if (!chain.empty()) return std::nullopt;
    for (const auto& item : textItems_)
        if (text_->sharedLayer(item, t)) return std::nullopt;
    FramingInput framing{static_cast<double>(width), static_cast<double>(height), canvas_.width, canvas_.height};
    Transform::Sample sample = seg.transform.sampled(t);
    SourceWindow window = framing.window(sample.center, sample.scale);
    if (window.showsPastTheSource(framing.sourceWidth, framing.sourceHeight)) return std::nullopt;
    if (!Placement{canvas_, inputs_.recipe}.fitsAsIs(width, height, window)) return std::nullopt;
    return track->second;
}

RGBAImage GraphScene::picture(int64_t frame, const ComposedRange& range, const FrameSource& source,
                              PixelDomain out, const SignalSource& signals, const PictureRowSource& rows) const {
    // Most frames are one placed clip, graded, with logos and text: drawn
    // band by band, each band finished while it is in cache.
    if (auto drawn = banded(frame, range, source, out, signals, rows)) return std::move(*drawn);
    const int64_t t = atUs(frame);
    RGBAImage picture;
    if (range.segment) {
        int64_t index = *range.segment;
        const ResolvedSegment& s = inputs_.timeline.segments.at(static_cast<size_t>(index));
        RGBAImage incoming = clip(index, ClipRole::main, index, frame, range, source);
        if (s.transition && range.transitioning) {
            const ResolvedTransition& tr = *s.transition;
            if (tr.style == TransitionStyle::flash) {
                picture = Transitions{canvas_}.flash(incoming, frame - s.firstFrame, tr.frames);
            } else {
                RGBAImage outgoing = clip(tr.outgoingSegment, ClipRole::tail, index, frame, range, source);
                double p = static_cast<double>(frame - s.firstFrame + 1) / static_cast<double>(tr.frames + 1);
                if (tr.style == TransitionStyle::smooth) {
                    picture = RGBAImage::blank(0, 0, canvas_.pixelWidth(), canvas_.pixelHeight());
                    float time = static_cast<float>(p);
                    Tiles::rows(0, picture.height, [&](int from, int to) {
                        Compositing::dissolve(outgoing, incoming, time, picture, from, to);
                    });
                } else {
                    double e = p * p * (3 - 2 * p);
                    double d = e * canvas_.width;
                    Placement placement{canvas_, inputs_.recipe};
                    RGBAImage left = placement.drawn(outgoing, 1, -d, 0, canvas_.rect, false, true);
                    RGBAImage right = placement.drawn(incoming, 1, canvas_.width - d, 0, canvas_.rect, false, true);
                    picture = RGBAImage::transparent(0, 0, canvas_.pixelWidth(), canvas_.pixelHeight());
                    Tiles::rows(0, picture.height, [&](int from, int to) {
                        Compositing::over(picture, left, from, to);
                        Compositing::over(picture, right, from, to);
                    });
                }
            }
        } else {
            picture = std::move(incoming);
        }
    } else {
        picture = opaqueBlack(canvas_);
    }
    const auto& overlays = inputs_.timeline.overlays;
    for (VideoOverlayRole role : {VideoOverlayRole::layout, VideoOverlayRole::broll}) {
        for (int64_t o : range.overlays)
            if (overlays.at(static_cast<size_t>(o)).role == role) picture = composite(o, frame, std::move(picture), source);
    }
    // Grading, logos and text run as one pass over each tile.
    PixelChain chain(inputs_.recipe.gammaSpace());
    grading_->graded(picture, t, frame, chain);
    for (int64_t o : range.overlays) {
        const ResolvedOverlay& ov = overlays.at(static_cast<size_t>(o));
        if (ov.role != VideoOverlayRole::logo) continue;
        Tiles::run(picture, chain);
        chain = PixelChain(inputs_.recipe.gammaSpace());
        picture = composite(o, frame, std::move(picture), source);
    }
    for (const auto& item : textItems_) {
        if (auto layer = text_->sharedLayer(item, t)) chain.add(std::make_unique<OverStep>(std::move(layer)));
    }
    Tiles::run(picture, chain, out);
    return picture;
}

void GraphScene::recordFailure(std::exception_ptr failure) {
    std::lock_guard guard(lock_);
    if (!firstFailure_) firstFailure_ = std::move(failure);
}

std::exception_ptr GraphScene::firstFailure() const {
    std::lock_guard guard(lock_);
    return firstFailure_;
}

void GraphScene::noteFrame(double milliseconds) {
    std::lock_guard guard(lock_);
    timings_.note(milliseconds);
}

FrameTimings GraphScene::timings() const {
    std::lock_guard guard(lock_);
    return timings_;
}

} // namespace korvel
