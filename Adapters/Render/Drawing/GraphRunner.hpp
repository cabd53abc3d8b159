#pragma once

#include "Adapters/Concurrency/BlockingWork.hpp"
#include "Adapters/Render/Drawing/CompositionBuilder.hpp"
#include "Adapters/Render/Outputs/VideoEncoder.hpp"
#include "Core/Timeline/FrameRange.hpp"

#include <cstdint>
#include <functional>

namespace korvel {

// Takes the drawn frames of a window in order; index 0 is the window's first.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual void take(const EncoderPicture& picture, int64_t index) = 0;
};

// One render: source frames decoded in order, frames drawn in parallel,
// pictures handed to the sink in order. A bounded number of frames is in
// flight, so a slow encoder holds the drawing back.
namespace GraphRunner {
using Progress = std::function<void(int64_t done, int64_t total)>;

// Progress after every max(1, count / 100) frames and after the last.
int64_t progressInterval(int64_t count);

// The number of frames handed to the sink. Throws Cancelled when the stop
// flag is raised, the scene's failure when a frame can't be drawn, and the
// sink's failures.
int64_t run(const BuiltComposition& built, FrameRange frames, const VideoEncoding& encoding, FrameSink& sink,
            StopFlag& stop, const Progress& progress);
// How many frames a render keeps in flight: a share of the cores, and no
// more than the frame pool keeps of their pictures, but never fewer than
// `minFramesInFlight`, one decoding, two drawing, one encoding.
inline constexpr int minFramesInFlight = 4;
size_t framesInFlight(const BuiltComposition& built, const VideoEncoding& encoding);
// One frame drawn on its own, in the working space.
RGBAImage draw(const BuiltComposition& built, int64_t frame, StopFlag& stop);
} // namespace GraphRunner

} // namespace korvel
