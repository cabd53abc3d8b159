#pragma once

#include "Adapters/Render/Drawing/RenderCanvas.hpp"
#include "Core/Picture/Color/ColorRecipe.hpp"
#include "Core/Timeline/Framing.hpp"
#include "Core/Plan/NormalizedRect.hpp"
#include "Core/Picture/RGBAImage.hpp"

#include <functional>
#include <optional>

namespace korvel {

// Scales and moves pictures into rectangles of the canvas, the same way for
// clips, overlays, stills and backgrounds. Pictures arrive upright with
// their extent at (0, 0); results never reach outside the canvas.
struct Placement {
    render::RenderCanvas canvas;
    ColorRecipe recipe;

    // Runs on the canvas rows [from, to) of a picture as soon as they are
    // drawn, while they are still in cache.
    using Then = std::function<void(RGBAImage& out, int from, int to)>;

    // The window filling the canvas.
    RGBAImage fitted(const RGBAImage& picture, const SourceWindow& window, const Then& then = {}) const;
    // A picture of width x height at (0, 0) that `row` writes a row of at a
    // time (row y, width RGBA pixels), where `fitted` of it would shrink it:
    // each band reads the rows it needs itself, so the whole picture is never
    // held, and gives what `fitted` gives. Nothing where `fitted` would draw
    // it otherwise.
    using RowReader = std::function<void(int y, float* rgba)>;
    std::optional<RGBAImage> fittedShrunk(const RowReader& row, int width, int height, const SourceWindow& window,
                                          const Then& then = {}) const;
    // Whether `fitted` gives a picture of width x height at (0, 0) back pixel
    // for pixel: the window frames it whole at its own size, and it covers
    // the canvas exactly.
    bool fitsAsIs(int width, int height, const SourceWindow& window) const;
    // The picture where the window puts it, over a canvas-sized backdrop.
    RGBAImage placedExactly(const RGBAImage& picture, const SourceWindow& window, const RGBAImage& backdrop) const;
    // Scaled to cover the rectangle, centred, cropped to it.
    RGBAImage covered(const RGBAImage& picture, const render::Rect& rect) const;
    // Scaled to fit inside the rectangle, centred; the rest stays transparent.
    RGBAImage contained(const RGBAImage& picture, const render::Rect& rect) const;
    // That part of the picture (fractions, y from the top), moved to (0, 0);
    // at least one pixel each way.
    static RGBAImage part(const RGBAImage& picture, const NormalizedRect& window);
    // The picture resampled to exactly width × height at (0, 0), each axis on
    // its own, edge pixels repeated: a mask brought to its picture's size.
    static RGBAImage stretched(const RGBAImage& picture, int width, int height);

    // The same as `fitted` and `placedExactly` of the picture first
    // `stretched` to width x height, in one resampling where both would
    // resample: a mask framed like the picture it belongs to.
    RGBAImage fittedStretched(const RGBAImage& picture, int width, int height, const SourceWindow& window) const;
    RGBAImage placedExactlyStretched(const RGBAImage& picture, int width, int height, const SourceWindow& window,
                                     const RGBAImage& backdrop) const;

    // The picture drawn at scale s moved by (tx, ty) into the pixels of
    // `rect` (cropped to the canvas): Lanczos when shrinking, linear when
    // enlarging, edge pixels repeated when `clampEdges`.
    RGBAImage drawn(const RGBAImage& picture, double s, double tx, double ty, const render::Rect& rect,
                    bool clampEdges, bool tolerant, const Then& then = {}) const;
    // The same of the picture first `stretched` to width x height.
    RGBAImage drawnStretched(const RGBAImage& picture, int width, int height, double s, double tx, double ty,
                             const render::Rect& rect, bool clampEdges, bool tolerant) const;
};

} // namespace korvel
