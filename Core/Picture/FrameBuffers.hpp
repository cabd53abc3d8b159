#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace korvel {

// Where large picture buffers come from and go back to. Core only asks; the
// platform side may install a pool that maps their memory itself and keeps
// buffers between frames, so that a frame's memory is neither faulted in nor
// zeroed again, and gives it back to the system when it is idle.
namespace FrameBuffers {

// Blocks this large (an encoder's 4:2:0 picture of a preview is about 2 MB)
// are the pool's; smaller ones are the heap's.
inline constexpr size_t largeBytes = size_t{1} << 18;

class Pool;

// Large blocks remember which pool mapped them, so a pool installed while
// heap-made buffers live never unmaps one of those.
void* allocate(size_t bytes);
void deallocate(void* block, size_t bytes) noexcept;

template <class T> struct Allocator {
    using value_type = T;
    Allocator() = default;
    template <class U> Allocator(const Allocator<U>&) noexcept {}
    T* allocate(size_t n) { return static_cast<T*>(FrameBuffers::allocate(n * sizeof(T))); }
    void deallocate(T* p, size_t n) noexcept { FrameBuffers::deallocate(p, n * sizeof(T)); }
    template <class U> bool operator==(const Allocator<U>&) const noexcept { return true; }
};

using Floats = std::vector<float, Allocator<float>>;

class Pool {
public:
    virtual ~Pool() = default;
    // A buffer of `floats` values whose contents are unspecified.
    virtual Floats take(size_t floats) = 0;
    virtual void keep(Floats&& buffer) noexcept = 0;
    // The memory of one large block, 64-byte aligned; throws std::bad_alloc.
    virtual void* map(size_t bytes) = 0;
    virtual void unmap(void* block, size_t bytes) noexcept = 0;
};

// Null puts back plain allocation. The pool must outlive every buffer.
void install(Pool* pool);

Floats take(size_t floats);
void keep(Floats&& buffer) noexcept;

} // namespace FrameBuffers

// The pixel values of a picture: a vector of floats that hands its memory
// back to the frame buffers when it is dropped.
class FrameFloats : public FrameBuffers::Floats {
    using Base = FrameBuffers::Floats;

public:
    using Base::Base;
    FrameFloats() = default;
    FrameFloats(Base&& values) noexcept : Base(std::move(values)) {}
    FrameFloats(const FrameFloats& other) : Base(FrameBuffers::take(other.size())) {
        std::copy(other.begin(), other.end(), begin());
    }
    FrameFloats(FrameFloats&&) noexcept = default;
    FrameFloats& operator=(const FrameFloats& other) {
        if (this != &other) *this = FrameFloats(other);
        return *this;
    }
    FrameFloats& operator=(FrameFloats&& other) noexcept {
        if (this != &other) {
            FrameBuffers::keep(std::move(base()));
            base() = std::move(other.base());
        }
        return *this;
    }
    using Base::operator=;
    ~FrameFloats() { FrameBuffers::keep(std::move(base())); }

private:
    Base& base() { return *this; }
};

} // namespace korvel
