#include "Adapters/Render/FrameMemory.hpp"

#include <malloc.h>

#include <mutex>

namespace korvel::FrameMemory {

void keep() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Large blocks come from the heap and stay there for the next frame.
        mallopt(M_MMAP_THRESHOLD, 32 << 20); // the largest it takes
        mallopt(M_TRIM_THRESHOLD, 1024 << 20);
    });
}

} // namespace korvel::FrameMemory
