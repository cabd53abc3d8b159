#pragma once

#include <chrono>
#include <cstddef>

namespace korvel::FrameMemory {

// Frames take and drop canvas-sized buffers many times a second. Their
// memory is mapped for them alone (never the heap's, whose policy is the
// host's), and buffers dropped are kept a while for the next frames: freshly
// mapped memory is faulted in and zeroed again. Installed once per process,
// before frames are drawn.
void keep();

// Four renders' frames in flight at 1080p (eight frames each, a decoded
// source, a drawn picture and its encoder planes, about 60 MB a render): the
// next preview windows an editor asks for find their memory faulted in.
// Renders beyond that map and unmap their own.
inline constexpr size_t mostBytes = size_t{256} << 20;
// A buffer no frame has taken for this long goes back to the system.
inline constexpr std::chrono::seconds grace{10};

// Held by a render while it draws: the pool is installed before its first
// frame, and half a second after a render lets go the heap's freed pages go
// back to the system.
class Use {
public:
    Use();
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
};

// Asks for the heap's freed pages to go back to the system in a moment, as
// after a render: for work that frees much outside one, such as a decoder
// kept open for the next frame and closed when none came.
void heapLetGo();

// Buffers and bytes kept now (for tests).
size_t keptBuffers();
size_t keptBytes();
// Bytes of frame buffers mapped now, kept or in use.
size_t mappedBytes();
// Frame buffers mapped since the process started.
size_t mapsSoFar();

// Gives back the buffers kept longer than `grace` at `now` (as the pool's own
// thread does when that time comes).
void freeIdle(std::chrono::steady_clock::time_point now);

} // namespace korvel::FrameMemory
