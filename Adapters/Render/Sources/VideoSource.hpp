#pragma once

#include "Adapters/Media/MediaAsset.hpp"
#include "Core/Wire/AssetMethodTypes.hpp"
#include "Core/Container/MovieBox.hpp"
#include "Core/Timeline/PTSTable.hpp"
#include "Core/Picture/RenderSize.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace korvel {

class MovieFile;

// a, b, c, d, tx, ty: x' = a·x + c·y + tx, y' = b·x + d·y + ty.
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

    bool operator==(const AffineTransform&) const = default;

    // The size of the rectangle (0, 0, width, height) once transformed: each
    // side rounded half away from zero and made non-negative.
    RenderSize appliedTo(double width, double height) const;
};

namespace Rotation {
// The picture orientation code of a transform (see Orientation): 2 to 8 for
// exact quarter and half turns and mirrors, otherwise 1 (up).
int orientation(const AffineTransform& transform);
} // namespace Rotation

struct PictureSize {
    double width = 0;
    double height = 0;
    bool operator==(const PictureSize&) const = default;
};

// The opened video track: its sample table in decode order and which sample
// each entry of the presentation-time table shows.
struct VideoTrack {
    MovieTrack movie;
    std::vector<MovieSample> samples;
    std::vector<size_t> sampleOfEntry;
    bool hasCursors = false; // the samples came from the stored tables
    // Containers without a movie box name their decoder themselves: the
    // libavcodec codec and its configuration as the container holds it,
    // which the entry's own boxes may not carry.
    struct Codec {
        int id = 0;
        std::vector<uint8_t> extradata;
    };
    std::optional<Codec> codec;
    // Where the samples' offsets point when their bytes are not in the
    // source file as they are (copied out of MPEG-TS or Ogg); null for the
    // source file itself.
    std::shared_ptr<const MovieFile> bytes;

    const MovieSampleEntry* firstDescription() const {
        return movie.sampleEntries.empty() ? nullptr : &movie.sampleEntries.front();
    }
};

// A video file opened and checked: its first video track with the
// presentation times of its frames, its geometry and its colour tags.
struct VideoSource {
    std::filesystem::path url;
    std::shared_ptr<const MediaAsset> asset;
    std::shared_ptr<const VideoTrack> track;
    PTSTable table;
    PictureSize naturalSize;
    AffineTransform preferredTransform;
    std::optional<AssetColor> color;

    int orientation() const { return Rotation::orientation(preferredTransform); }
    // The upright picture size.
    RenderSize displaySize() const { return preferredTransform.appliedTo(naturalSize.width, naturalSize.height); }
};

} // namespace korvel
