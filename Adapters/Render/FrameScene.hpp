#pragma once

#include "Adapters/Render/VideoFrames.hpp"
#include "Core/Render/FrameTimings.hpp"
#include "Core/Render/RGBAImage.hpp"
#include "Core/Render/ResolvedTimeline.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace korvel {

// The decoded source frame of a composition track for the frame being drawn.
using SourceFrames = std::function<std::shared_ptr<const DecodedFrame>(int32_t trackId)>;

// What draws every frame of one composition. Drawing may run for several
// frames at once; the first failure and the timings are kept under a lock.
class FrameScene {
public:
    virtual ~FrameScene() = default;
    // Failures that depend only on the plan, raised before any frame.
    virtual void preflight() {}
    // The frame, canvas-sized, in the working space. Throws.
    virtual RGBAImage picture(int64_t frame, const ComposedRange& range, const SourceFrames& source) = 0;

    void noteFailure(std::exception_ptr error);
    std::exception_ptr firstFailure() const;
    void noteTime(double milliseconds);
    FrameTimings timings() const;

protected:
    explicit FrameScene(double frameMilliseconds) : timings_(frameMilliseconds) {}

private:
    mutable std::mutex lock_;
    std::exception_ptr firstFailure_;
    FrameTimings timings_;
};

} // namespace korvel
