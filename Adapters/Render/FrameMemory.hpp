#pragma once

#include <chrono>
#include <cstddef>

namespace korvel::FrameMemory {

// Frames allocate and free canvas-sized buffers many times a second; left to
// its defaults the allocator maps and unmaps each one, and every page is
// faulted in and zeroed again. Once per process, before frames are drawn.
void keep();

// Held by a render while it draws: picture buffers its frames drop are kept
// for its next frames, and for the next render: they are freed when no
// render has held them for half a minute.
class Use {
public:
    Use();
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
};

// Buffers kept now (for tests).
size_t keptBuffers();

// Frees the buffers when no render has held them for half a minute at `now`
// (as the pool's own thread does when that time comes).
void freeIdle(std::chrono::steady_clock::time_point now);

} // namespace korvel::FrameMemory
