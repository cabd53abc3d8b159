#include "Adapters/Render/PlainScene.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

PlainScene::PlainScene(RenderInputs inputs, LayerTracks tracks, std::optional<FrameRange>)
    : FrameScene(inputs.timeline.grid.timescale > 0
                     ? static_cast<double>(inputs.timeline.grid.ticksPerFrame) / inputs.timeline.grid.timescale * 1000
                     : 0),
      inputs_(std::move(inputs)), tracks_(std::move(tracks)) {}

RGBAImage PlainScene::picture(int64_t frame, const ComposedRange& range, const SourceFrames& source) {
    const int w = static_cast<int>(inputs_.size.width), h = static_cast<int>(inputs_.size.height);
    RGBAImage canvas = RGBAImage::transparent(0, 0, w, h);
    for (size_t i = 3; i < canvas.pixels.size(); i += 4) canvas.pixels[i] = 1.0f;
    if (!range.segment) return canvas;
    const auto& seg = inputs_.timeline.segments.at(static_cast<size_t>(*range.segment));
    if (seg.still) return canvas;
    auto track = tracks_.clips.find(*range.segment);
    auto decoded = track == tracks_.clips.end() ? nullptr : source(track->second);
    if (!decoded) {
        throw EngineFailure::internalError("Frame " + std::to_string(frame) + " has no decoded source for its clip.");
    }
    double sw = static_cast<double>(decoded->width()), sh = static_cast<double>(decoded->height());
    auto sample = seg.transform.sampled(inputs_.timeline.grid.us(frame));
    // The window of the source that fills the canvas: scale 1 covers it.
    double cover = std::max(w / sw, h / sh), contain = std::min(w / sw, h / sh);
    double zoom = std::max(sample.scale * cover, contain);
    double ww = w / zoom, wh = h / zoom;
    auto place = [](double side, double window, double center) {
        if (side <= window) return (side - window) * 0.5;
        return std::min(side - window, std::max(0.0, center * side - window * 0.5));
    };
    double x = place(sw, ww, sample.center.x), y = place(sh, wh, sample.center.y);
    // Parts of the window past the source stay black.
    double left = std::max(0.0, x), top = std::max(0.0, y);
    double right = std::min(sw, x + ww), bottom = std::min(sh, y + wh);
    int dx = static_cast<int>(std::lround((left - x) * zoom)), dy = static_cast<int>(std::lround((top - y) * zoom));
    int dw = std::min(w - dx, static_cast<int>(std::lround((right - left) * zoom)));
    int dh = std::min(h - dy, static_cast<int>(std::lround((bottom - top) * zoom)));
    if (dw < 1 || dh < 1) return canvas;
    RGBAImage part = decoded->linear({dw, dh}, DecodedFrame::Region{left, top, right - left, bottom - top});
    if (dx == 0 && dy == 0 && dw == w && dh == h) return part;
    for (int r = 0; r < dh; ++r) std::copy_n(part.row(r), static_cast<size_t>(dw) * 4, canvas.row(r + dy) + static_cast<size_t>(dx) * 4);
    return canvas;
}

} // namespace korvel
