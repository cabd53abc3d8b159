#pragma once

#include "Adapters/Render/Drawing/FrameMemory.hpp"
#include "Adapters/Render/Sources/FrameSource.hpp"
#include "Adapters/Render/Drawing/RenderCanvas.hpp"
#include "Adapters/Render/Sources/RenderInputs.hpp"
#include "Core/Timeline/FrameRange.hpp"
#include "Core/Timeline/FrameTimings.hpp"
#include "Core/Timeline/LayerTracks.hpp"
#include "Core/Picture/PixelChain.hpp"
#include "Core/Picture/RGBAImage.hpp"
#include "Core/Timeline/ResolvedTimeline.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace korvel {

class BackgroundFills;
class Grading;
class TextRasterizer;

// Draws the frames of one composition as layers: clip or transition,
// layout and b-roll overlays, grading, logos, text. One scene per
// composition, shared by all of its frame requests and threads.
class GraphScene {
public:
    // A window keeps only the text items that can appear in it.
    GraphScene(RenderInputs inputs, LayerTracks tracks, std::optional<FrameRange> window = std::nullopt);
    ~GraphScene();
    GraphScene(const GraphScene&) = delete;
    GraphScene& operator=(const GraphScene&) = delete;

    // Raises every failure that depends on the plan alone (looks,
    // adjustments, text, background colour) before a frame is drawn.
    void preflight();

    // The canvas-sized picture of one output frame, in the working space or,
    // for an encoder that takes them so, as straight values in the recipe's
    // gamma space; `signals` and `rows`, when given, may spare a clip's
    // conversion. Throws EngineFailure.
    RGBAImage picture(int64_t frame, const ComposedRange& range, const FrameSource& source,
                      PixelDomain out = PixelDomain::linearPremultiplied, const SignalSource& signals = {},
                      const PictureRowSource& rows = {}) const;

    // The track whose decoded picture, when it is canvas-sized, this frame
    // is pixel for pixel: one upright clip framed whole at its own size, with
    // nothing graded, placed or written over it. Nothing otherwise, and
    // under the scalar references. Throws as `picture` does.
    std::optional<int32_t> shownAsIs(int64_t frame, const ComposedRange& range) const;

    // The output frame's time on the timeline grid, halves up.
    int64_t atUs(int64_t frame) const;

    const RenderInputs& inputs() const { return inputs_; }
    const LayerTracks& tracks() const { return tracks_; }
    const render::RenderCanvas& canvas() const { return canvas_; }
    const std::vector<TextItem>& textItems() const { return textItems_; }

    // Kept once: later failures never replace the first.
    void recordFailure(std::exception_ptr failure);
    std::exception_ptr firstFailure() const;
    void noteFrame(double milliseconds);
    FrameTimings timings() const;

private:
    enum class ClipRole { main, tail };
    struct PlacedOverlay;
    std::shared_ptr<const RGBAImage> shownClip(const ResolvedSegment& segment, std::optional<int32_t> track, int64_t frame,
                                               const FrameSource& source) const;
    bool replacesBackground(const ResolvedSegment& segment, const ComposedRange& range) const;
    PlacedOverlay placedOverlay(int64_t overlay, int64_t frame, const FrameSource& source) const;
    std::optional<RGBAImage> banded(int64_t frame, const ComposedRange& range, const FrameSource& source,
                                    PixelDomain out, const SignalSource& signals, const PictureRowSource& rows) const;
    RGBAImage clip(int64_t segment, ClipRole role, int64_t incoming, int64_t frame, const ComposedRange& range,
                   const FrameSource& source) const;
    RGBAImage composite(int64_t overlay, int64_t frame, RGBAImage under, const FrameSource& source) const;

    FrameMemory::Use memory_;
    RenderInputs inputs_;
    LayerTracks tracks_;
    render::RenderCanvas canvas_;
    std::unique_ptr<BackgroundFills> fills_;
    std::unique_ptr<Grading> grading_;
    std::unique_ptr<TextRasterizer> text_;
    std::vector<TextItem> textItems_;

    mutable std::mutex lock_;
    std::exception_ptr firstFailure_;
    FrameTimings timings_;
};

} // namespace korvel
