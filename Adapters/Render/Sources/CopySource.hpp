#pragma once

#include "Adapters/Render/Sources/VideoSource.hpp"
#include "Core/Windows/CopyPlanner.hpp"
#include "Core/Timeline/FrameGrid.hpp"
#include "Core/Container/VideoFragmentWriter.hpp"

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <vector>

namespace korvel {

// What a preview needs to copy windows of a source's compressed H.264
// pictures into fragmented MP4 without decoding them.
struct CopySource {
    struct Sample {
        int64_t decodeTicks = 0;
        int64_t presentationTicks = 0;
        int64_t offset = 0;
        int32_t size = 0;
        bool isSync = false;
    };

    std::filesystem::path url;
    // Where the offsets point when not into the file at `url` (the track's
    // own sample store); null for that file.
    std::shared_ptr<const MovieFile> bytes;
    CopiedVideoFormat format;
    std::vector<Sample> samples;            // decode order
    std::map<int64_t, size_t> startIndexes; // presentation ticks of offered key frames → sample
    CopyableSource offered;
    int64_t displayWidth = 0;
    int64_t displayHeight = 0;

    // The whole fragmented MP4 of the window that starts on an offered key
    // frame at ticks.first, on the output grid's timescale. Throws
    // EngineFailure (-32603 for a start that is no offered key frame) and the
    // failures of StoredSamples::read.
    std::vector<uint8_t> fragment(std::pair<int64_t, int64_t> ticks, const FrameGrid& grid, int64_t length) const;
};

namespace CopySourceReader {
// The copy view of an opened video, or nothing when it can't be copied.
// Never throws.
std::optional<CopySource> open(const VideoSource& video);
// The track's display matrix in the file format's fixed point; nothing when a
// value does not fit.
std::optional<std::array<int32_t, 9>> matrix(const AffineTransform& transform);
// Builds the source from its samples; nothing when no key frame may start a copy.
std::optional<CopySource> assemble(std::vector<CopySource::Sample> samples, const VideoSource& video,
                                   const CopiedVideoFormat& format, RenderSize display);
} // namespace CopySourceReader

} // namespace korvel
