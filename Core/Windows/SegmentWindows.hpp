#pragma once

#include "Core/Windows/CopyPlanner.hpp"
#include "Core/Timeline/FrameRange.hpp"
#include "Core/Plan/RenderPlan.hpp"
#include "Core/Timeline/ResolvedTimeline.hpp"
#include "Core/Windows/SegmentWindowPart.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// One cacheable window of output frames. Its key is the SHA-256 of its
// fingerprint, which changes exactly when anything that can change its
// pictures changes.
struct SegmentWindow {
    std::string key;
    int64_t firstFrame = 0;
    int64_t endFrame = 0;
    int64_t outStartUs = 0;
    int64_t outEndUs = 0;
    std::string fingerprint;
    std::optional<CopyRange> copy;

    int64_t frameCount() const { return endFrame - firstFrame; }
    bool operator==(const SegmentWindow&) const = default;
};

// Where preview segments begin and end. A boundary falls on every multiple of
// two seconds of the source's own time, so the same material gives the same
// windows, keys and cache files wherever it sits in the edit. Arithmetic that
// would leave 64 bits throws TimeOverflow rather than make a window.
namespace SegmentWindows {
inline constexpr int64_t segmentUs = 2000000;

using Copyables = std::map<std::string, CopyableSource>;

// The plan is the one the timeline was resolved from, already resolved for
// the variant. Sorted by first frame, inside the plan's frames; throws
// TimelineError::missingSource, and Cancelled when the task is.
std::vector<SegmentWindow> list(const RenderPlan& plan, const ResolvedTimeline& timeline, const Sources& sources,
                                const Mattes& mattes, RenderVariant variant, std::string_view engineVersion,
                                const Copyables& copyable);
// The stretch to copy for a requested window, only when the client's key is
// the one this window's copy fingerprint gives. Never throws.
std::optional<CopyRange> copyRange(FrameRange window, std::string_view key, const ResolvedTimeline& timeline,
                                   const Sources& sources, const Copyables& copyable,
                                   std::string_view engineVersion) noexcept;
// The fingerprint text of a requested window, the plan resolved as for
// `list`; throws TimelineError::missingSource.
std::string fingerprint(FrameRange window, const RenderPlan& plan, const ResolvedTimeline& timeline,
                        const Sources& sources, const Mattes& mattes, RenderVariant variant,
                        std::string_view engineVersion);
// "copy:<hash>:<start>:<end>:<timescale>:<engine>".
std::string copyFingerprint(std::string_view contentHash, int64_t srcStartTicks, int64_t srcEndTicks,
                            int32_t timescale, std::string_view engineVersion);
// The two-second windows of one segment.
std::vector<FrameRange> frameRanges(const ResolvedSegment& segment, const FrameGrid& grid);
// Those windows cut to the frames `within`, found without walking the ones
// before it; throws Cancelled when the task is.
std::vector<FrameRange> frameRanges(const ResolvedSegment& segment, const FrameGrid& grid, FrameRange within);
} // namespace SegmentWindows

} // namespace korvel
