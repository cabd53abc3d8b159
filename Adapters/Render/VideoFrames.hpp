#pragma once

#include "Adapters/Render/Picture.hpp"
#include "Adapters/Render/VideoSource.hpp"
#include "Core/Render/RenderSize.hpp"

#include <filesystem>
#include <functional>

struct AVFrame;

namespace korvel {

// Decodes single frames of an opened video track from its stored samples,
// starting at the sync sample before the wanted one.
namespace VideoFrames {

// Whether some decoder of this engine reads the track's first description.
bool canDecode(const VideoTrack& track);

// Whether the first frame that the first samples give decodes. Never throws.
bool decodesFirst(const std::filesystem::path& url, const VideoTrack& track);
// Whether the frame of a sample (decode order) decodes. Never throws.
bool decodes(const std::filesystem::path& url, const VideoTrack& track, size_t sample);

// The frame of a sample as an RGB picture of the given size before the
// orientation is applied. `checkpoint` runs between samples and may throw
// (cancellation). Throws EngineFailure for unreadable bytes and SystemError
// when the decoder fails.
Picture picture(const std::filesystem::path& url, const VideoTrack& track, size_t sample, RenderSize size,
                const std::function<void()>& checkpoint = {});

// Decodes the samples in decode order from the sync sample at or before
// `from`, handing each frame as it comes out (presentation order) to `take`,
// which answers false to stop. `checkpoint` runs before every sample. Answers
// the decoder's last error (0 when none); throws what reading the file throws.
int walk(const std::filesystem::path& url, const VideoTrack& track, size_t from,
         const std::function<bool(const AVFrame&)>& take, const std::function<void()>& checkpoint);

} // namespace VideoFrames
} // namespace korvel
