#pragma once

#include "Adapters/Render/Sources/VideoSource.hpp"
#include "Core/Timeline/PTSTable.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

struct AVFrame;

namespace korvel {

// A video track of a container without a movie box (Matroska, WebM, Ogg,
// AVI, MPEG-TS), read packet by packet through libavformat: the engine's own
// sample tables exist only for movie files.
struct DemuxedVideo {
    int stream = -1;
    PictureSize naturalSize;
    AffineTransform transform;
    // The shown times, in the stream's ticks (the time base's denominator;
    // its numerator is folded into the ticks), counted from the container's
    // start as players count them: an MPEG-TS stream starting at 1.4 s
    // shows its first frame at 0.
    PTSTable table;
    // The container's start in those ticks, taken off every time.
    int64_t startTicks = 0;

    // Reads every packet of the stream once, without decoding. Throws
    // EngineFailure -32002 "This video track cannot be read." when no decoder
    // reads the track or it has no timed packet; SystemError when reading
    // fails.
    static DemuxedVideo open(const std::filesystem::path& url, int stream);

    // Decodes from the key frame at or before `fromTicks` (the start when
    // none), handing each frame and its time in ticks to `take`, which
    // answers false to stop. `checkpoint` runs before every packet and may
    // throw. Answers the decoder's last error (0 when none); throws
    // SystemError when reading the file fails.
    int walk(const std::filesystem::path& url, std::optional<int64_t> fromTicks,
             const std::function<bool(const AVFrame&, int64_t ticks)>& take, const std::function<void()>& checkpoint,
             bool rough) const;
};

} // namespace korvel
