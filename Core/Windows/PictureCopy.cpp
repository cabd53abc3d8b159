#include "Core/Windows/PictureCopy.hpp"

#include "Core/Windows/CopyPlanner.hpp"
#include "Core/Time.hpp"

#include <algorithm>
#include <cmath>

namespace korvel::PictureCopy {

bool allowed(const RenderPlan& plan, const ResolvedTimeline& timeline, const Source& source,
             std::optional<int64_t> askedBitsPerSecond) {
    if (timeline.segments.size() != 1 || !timeline.overlays.empty() || timeline.backgroundFrames) return false;
    if (!plan.textItems.empty() || !plan.colorStack.empty() || plan.background) return false;
    const ResolvedSegment& s = timeline.segments.front();
    if (s.speed != 1.0 || s.transition || s.timescale != source.timescale) return false;
    bool neutral = std::all_of(s.transform.keyframes.begin(), s.transform.keyframes.end(), [](const auto& k) {
        return k.scale == 1.0 && k.center.x == 0.5 && k.center.y == 0.5;
    });
    if (!neutral) return false;
    if (plan.canvas.width != source.displayWidth || plan.canvas.height != source.displayHeight) return false;
    if (!source.isDeliverable || !source.timesWritable || source.isHDR) return false;
    if (s.srcStartTicks != 0 || source.firstPtsTicks != 0) return false;
    // The copy writes the source's pictures and nothing else: the segment
    // must fill the plan, and the pictures the segment.
    if (s.firstFrame != 0 || s.endFrame != timeline.frameCount) return false;
    if (!CopyPlanner::picturesCover(s, source.endTicks, timeline.grid)) return false;
    // Reaching the end within half an output frame; the half frame truncates.
    int64_t halfFrame =
        Microseconds::roundedToInt64(std::trunc((timeline.grid.frameDurationSeconds() * 0.5) * s.timescale));
    if (static_cast<__int128>(s.srcEndTicks) < static_cast<__int128>(source.endTicks) - halfFrame) return false;
    if (askedBitsPerSecond && !(source.bitsPerSecond <= 1.5 * static_cast<double>(*askedBitsPerSecond))) return false;
    return true;
}

} // namespace korvel::PictureCopy

