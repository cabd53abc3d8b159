#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace korvel {

// Where large picture buffers come from and go back to. Core only asks; the
// platform side may install a pool that keeps them between frames, so that
// a frame's memory is neither faulted in nor zeroed again.
namespace FrameBuffers {

class Pool {
public:
    virtual ~Pool() = default;
    // A buffer of `floats` values whose contents are unspecified.
    virtual std::vector<float> take(size_t floats) = 0;
    virtual void keep(std::vector<float>&& buffer) noexcept = 0;
};

// Null puts back plain allocation. The pool must outlive every buffer.
void install(Pool* pool);

std::vector<float> take(size_t floats);
void keep(std::vector<float>&& buffer) noexcept;

} // namespace FrameBuffers

// The pixel values of a picture: a plain vector of floats that hands its
// memory back to the frame buffers when it is dropped.
class FrameFloats : public std::vector<float> {
    using Base = std::vector<float>;

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
