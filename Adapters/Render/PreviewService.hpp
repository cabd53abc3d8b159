#pragma once

#include "Adapters/Files/EngineCaches.hpp"
#include "Adapters/Render/Sources/InputResolver.hpp"
#include "Adapters/Render/Drawing/Picture.hpp"
#include "Adapters/Media/SourceLibrary.hpp"
#include "Core/Jobs.hpp"
#include "Core/Wire/FrameMethodTypes.hpp"
#include "Core/Wire/SegmentMethodTypes.hpp"

#include <memory>

namespace korvel {

// Working space to 8-bit BT.709-coded RGB, as a picture file carries it.
Picture gammaPicture(const RGBAImage& image, RenderSize size);
// The 8-bit code gammaPicture gives a linear value, and the curve's own.
uint8_t gammaCode(float linear);
uint8_t exactGammaCode(float linear);

// The preview methods: the cacheable windows of a plan, one window as a
// fragmented MP4 (copied from the source, from the cache, or rendered), and
// one frame as a still image. Previews are always SDR and reduced in size.
struct PreviewService {
    static constexpr int64_t segmentLongEdge = 1620;

    EngineCaches caches;
    InputResolver resolver;
    std::shared_ptr<SourceLibrary> library;
    bool offersCopies = true;

    SegmentListResult segments(const SegmentListParams& params) const;
    SegmentResult segment(const SegmentParams& params, const JobContext& context) const;
    FrameResult frame(const FrameParams& params) const;

    // Canvas sides outside this range are refused before anything is made.
    static constexpr int64_t minSide = 2, maxSide = 8192;
    static void checkCanvas(const Canvas& canvas);
    // The size a window is rendered at: fitted into 1620, odd sides down.
    static RenderSize segmentSize(const Canvas& canvas);
    // The size a frame is drawn at: fitted into the long edge, at least 1.
    static RenderSize frameSize(const Canvas& canvas, int64_t maxLongEdge);
};

} // namespace korvel
