#pragma once

#include "Adapters/Render/Sources/VideoSource.hpp"
#include "Core/Timeline/TickTime.hpp"

#include <filesystem>
#include <optional>

namespace korvel {

// Opens a video file into a checked VideoSource: the first and the last
// frame must decode, so that renders fail early with a plain sentence.
namespace VideoOpener {

// The most samples a track may have; more is refused rather than expanded.
inline constexpr uint64_t maxSamples = uint64_t{1} << 23;

// Throws EngineFailure (-32002) with the sentence of what went wrong.
// Without `checkEnd` the last frame is not decoded up front: for readers that
// walk the whole track anyway and word a damaged end themselves, and for
// renders that check it meanwhile.
VideoSource open(const std::filesystem::path& url, bool checkEnd = true);

// The check open() makes of the last frame shown: decoding it may take a
// whole GOP. Throws -32002 "<name> is cut short or damaged, so its end can't
// be read." when it does not decode.
void checkEnd(const VideoSource& video);

// Where the picture opened by open() starts on the clock of a container
// without a movie box, so that the file's sound is placed by the same
// clock. Nothing for movie files (their edits place each track), files
// without video, and files whose picture can't be read. Never throws but
// Cancelled.
std::optional<TickTime> demuxedStart(const std::filesystem::path& url);

// The samples of a track read packet by packet through libavformat, for
// tracks whose stored tables can't be walked (fragmented movies). Throws
// EngineFailure.
std::vector<MovieSample> readSamples(const std::filesystem::path& url, const MovieTrack& track);

} // namespace VideoOpener
} // namespace korvel
