#pragma once

#include "Adapters/Render/Sources/VideoDecoder.hpp"
#include "Adapters/Render/Sources/VideoSource.hpp"

#include <filesystem>
#include <functional>
#include <optional>

struct AVFrame;

namespace korvel::VideoFrames {

// Decodes the samples in decode order from the sync sample at or before
// `from`, handing each frame as it comes out (presentation order) to `take`,
// which answers false to stop. `checkpoint` runs before every sample. Answers
// the decoder's last error (0 when none); throws what reading the file throws.
// `rough` skips deblocking, for pictures that are shrunk many times over.
// Samples `skippable` answers true for are not decoded when nothing refers
// to their pictures (where the codec marks them), so those never reach `take`.
// The decoder is the one VideoFrames reads with (VideoDecoder); one in `kept`
// for the same description and roughness is used again, and the walk's is
// left there when it ends without throwing.
struct KeptDecoder {
    size_t description = 0;
    bool rough = false;
    std::optional<VideoDecoder> decoder;
};
int walk(const std::filesystem::path& url, const VideoTrack& track, size_t from,
         const std::function<bool(const AVFrame&)>& take, const std::function<void()>& checkpoint,
         bool rough = false, const std::function<bool(const MovieSample&)>& skippable = {},
         KeptDecoder* kept = nullptr);

} // namespace korvel::VideoFrames
