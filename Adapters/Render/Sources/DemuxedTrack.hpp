#pragma once

#include "Adapters/Render/Sources/VideoSource.hpp"
#include "Core/Timeline/TickTime.hpp"

#include <filesystem>
#include <memory>
#include <optional>

namespace korvel {

// The video track of a container without a movie box (Matroska, WebM, AVI,
// MPEG-TS, MPEG program streams, Ogg) as the sample table a movie file
// stores, from one libavformat pass that decodes nothing: so that every
// road reads these files as it reads movie files.
struct DemuxedTrack {
    std::shared_ptr<VideoTrack> track;
    PictureSize naturalSize;
    AffineTransform transform;
    // The container's colour tags; nothing when it says nothing.
    std::optional<AssetColor> color;

    // Throws EngineFailure: -32002 "<name> is in a format that can't be
    // opened." when libavformat can't read the file, "<name> is cut short or
    // damaged, so its end can't be read." when its packets stop on damage.
    static DemuxedTrack read(const std::filesystem::path& url, size_t stream);
    // Where read() finds the track's first shown frame on the container's
    // clock, from the packets' times alone: the instant the file's sound
    // starts for its picture. Nothing without packets; throws as read()
    // opens the file, and TimeOverflow.
    static std::optional<TickTime> firstShown(const std::filesystem::path& url, size_t stream);
};

} // namespace korvel
