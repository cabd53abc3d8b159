#include "Adapters/Live/LiveVideo.hpp"

#include "Adapters/Live/LivePlayer.hpp"
#include "Adapters/Live/LivePreviewService.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvel {

LiveVideo::LiveVideo(const LiveComposition& c)
    : asset(c.composition), videoComposition(c.videoComposition), durationUs(c.durationUs), frameCount(c.frameCount),
      width(c.width), height(c.height), structure(c.structure) {
    timings = [c] { return c.drawn(); };
}

TickTime LiveVideo::frameStart(double seconds) const {
    TickTime d = videoComposition ? videoComposition->frameDuration : TickTime{};
    auto index = LiveTiming::frameIndex(seconds, d, frameCount);
    if (!index) throw EngineFailure::internalError("The live video has no frame duration.");
    return TickTime{d.value * *index, d.timescale};
}

std::shared_ptr<PlayerItem> LiveVideo::playerItem() const { return std::make_shared<PlayerItem>(asset, videoComposition); }

Picture LiveVideo::frame(int64_t index) const { return videoComposition->picture(index); }

Picture LiveVideo::still(double seconds, double maxWidth, double maxHeight) const {
    TickTime start = frameStart(seconds);
    const TickTime d = videoComposition->frameDuration;
    Picture picture = frame(start.value / d.value);
    double scale = std::min({1.0, maxWidth / static_cast<double>(picture.width),
                             maxHeight / static_cast<double>(picture.height)});
    if (!(scale < 1.0)) return picture;
    int64_t w = std::max<int64_t>(1, std::llround(picture.width * scale));
    int64_t h = std::max<int64_t>(1, std::llround(picture.height * scale));
    Picture out;
    out.width = w;
    out.height = h;
    out.bands = picture.bands;
    out.pixels.resize(static_cast<size_t>(w * h * picture.bands));
    // Box average: a still is a thumbnail, not a frame to grade.
    for (int64_t y = 0; y < h; ++y) {
        int64_t y0 = y * picture.height / h, y1 = std::max(y0 + 1, (y + 1) * picture.height / h);
        for (int64_t x = 0; x < w; ++x) {
            int64_t x0 = x * picture.width / w, x1 = std::max(x0 + 1, (x + 1) * picture.width / w);
            for (int b = 0; b < picture.bands; ++b) {
                int64_t sum = 0;
                for (int64_t sy = y0; sy < y1; ++sy)
                    for (int64_t sx = x0; sx < x1; ++sx)
                        sum += picture.pixels[static_cast<size_t>((sy * picture.width + sx) * picture.bands + b)];
                out.pixels[static_cast<size_t>((y * w + x) * picture.bands + b)] =
                    static_cast<uint8_t>(sum / ((y1 - y0) * (x1 - x0)));
            }
        }
    }
    return out;
}

} // namespace korvel
