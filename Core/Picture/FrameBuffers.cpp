#include "Core/Picture/FrameBuffers.hpp"

#include <atomic>
#include <cstring>
#include <new>

namespace korvel::FrameBuffers {

namespace {
std::atomic<Pool*> installed{nullptr};

// A large block starts with the pool that mapped it (null: the heap).
constexpr size_t header = 64;
constexpr std::align_val_t aligned{64};
} // namespace

void install(Pool* pool) { installed.store(pool, std::memory_order_release); }

void* allocate(size_t bytes) {
    if (bytes < largeBytes) return ::operator new(bytes);
    Pool* pool = installed.load(std::memory_order_acquire);
    auto* block = static_cast<unsigned char*>(pool ? pool->map(bytes + header) : ::operator new(bytes + header, aligned));
    std::memcpy(block, &pool, sizeof pool);
    return block + header;
}

void deallocate(void* memory, size_t bytes) noexcept {
    if (bytes < largeBytes) return ::operator delete(memory);
    auto* block = static_cast<unsigned char*>(memory) - header;
    Pool* pool = nullptr;
    std::memcpy(&pool, block, sizeof pool);
    if (pool) pool->unmap(block, bytes + header);
    else ::operator delete(block, aligned);
}

Floats take(size_t floats) {
    if (Pool* pool = installed.load(std::memory_order_acquire)) return pool->take(floats);
    Floats buffer;
    buffer.resize(floats);
    return buffer;
}

void keep(Floats&& buffer) noexcept {
    if (buffer.capacity() == 0) return;
    if (Pool* pool = installed.load(std::memory_order_acquire)) return pool->keep(std::move(buffer));
    Floats().swap(buffer);
}

} // namespace korvel::FrameBuffers
