#pragma once

namespace korvel::FrameMemory {

// Frames allocate and free canvas-sized buffers many times a second; left to
// its defaults the allocator maps and unmaps each one, and every page is
// faulted in and zeroed again. Once per process, before frames are drawn.
void keep();

} // namespace korvel::FrameMemory
