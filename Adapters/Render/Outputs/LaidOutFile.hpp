#pragma once

#include "Adapters/Media/StoredSamples.hpp"

#include <climits>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>

struct AVFormatContext;

namespace korvel {

class MovieFile;

// The muxer's output when a file is laid out in advance. The muxer writes
// as it always does; until its fast-start pass, every byte from `moovAt` on
// lands `moovSize` further on, where that pass would move it, and the pass,
// which reads the file back, finds nothing to move. A trial has no file and
// only measures where the movie box went.
struct LaidOutFile {
    int fd = -1; // none on a trial
    int64_t moovAt = 0, moovSize = 0;
    bool moved = false; // the fast-start pass has begun
    int64_t at = 0, length = 0, dataEnd = 0;
    int64_t movedFirst = INT64_MAX, movedEnd = 0; // what the pass wrote, in the final file

    // Packets of appended samples point at these bytes; where the muxer
    // writes them, the sample's own bytes are copied from its file instead.
    const uint8_t* stand = nullptr;
    int64_t standSize = 0;
    struct Copy {
        std::shared_ptr<const MovieFile> file;
        StoredSamples::Entry entry;
    };
    std::deque<Copy> copies;
    // Samples back to back in their file and here are copied together: the
    // kernel's copy costs more per call than per byte.
    static constexpr int64_t runBytes = 8 << 20;
    struct Run {
        std::shared_ptr<const MovieFile> file;
        int64_t from = 0, to = 0, size = 0;
    } run;
    std::exception_ptr failure; // of a copy

    // Copies the samples gathered so far; throws as StoredSamples::copy does.
    void flush();
    // Copies a sample's bytes to `to`, with the samples next to it.
    void copy(Copy c, int64_t to);

    int64_t placed(int64_t position) const { return !moved && position >= moovAt ? position + moovSize : position; }

    // Makes the muxer write here, unbuffered for the samples' bytes; false
    // when out of memory.
    bool attach(AVFormatContext* format);
    // Frees what attach made; never throws.
    static void detach(AVFormatContext* format);
};

} // namespace korvel
