#pragma once

#include "Adapters/Concurrency/BlockingWork.hpp"
#include "Adapters/Render/Outputs/MovieWriter.hpp"
#include "Adapters/Render/Sources/VideoSource.hpp"
#include "Core/Windows/PictureCopy.hpp"

#include <functional>
#include <memory>
#include <set>
#include <string>

namespace korvel {

class MovieFile;

// Moves a source's compressed pictures, untouched, into an export's writer:
// no picture is decoded or encoded.
class PictureCopyFeed {
public:
    // The sample descriptions an export may carry as they are.
    static const std::set<std::string, std::less<>>& deliverable();

    // What the export's copy rule judges.
    static PictureCopy::Source facts(const VideoSource& video);

    // Attaches a pass-through input to the writer before it starts. Throws
    // EngineFailure.
    PictureCopyFeed(const VideoSource& video, const MovieSampleEntry* format, MovieWriter& writer);
    ~PictureCopyFeed();

    using Progress = std::function<void(int64_t done, int64_t total)>;
    // Appends every sample; the number appended. Blocks; throws Cancelled
    // when the stop flag is raised or the writer is cancelled, and
    // EngineFailure when reading or writing fails.
    int64_t run(MovieWriter& writer, StopFlag& stop, int64_t total, const Progress& progress);

private:
    VideoSource video_;
    int64_t shift_ = 0;
};

} // namespace korvel
