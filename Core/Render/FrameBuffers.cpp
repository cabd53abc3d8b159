#include "Core/Render/FrameBuffers.hpp"

#include <atomic>

namespace korvel::FrameBuffers {

namespace {
std::atomic<Pool*> installed{nullptr};
} // namespace

void install(Pool* pool) { installed.store(pool, std::memory_order_release); }

std::vector<float> take(size_t floats) {
    if (Pool* pool = installed.load(std::memory_order_acquire)) return pool->take(floats);
    std::vector<float> buffer;
    buffer.resize(floats);
    return buffer;
}

void keep(std::vector<float>&& buffer) noexcept {
    if (buffer.capacity() == 0) return;
    if (Pool* pool = installed.load(std::memory_order_acquire)) return pool->keep(std::move(buffer));
    std::vector<float>().swap(buffer);
}

} // namespace korvel::FrameBuffers
