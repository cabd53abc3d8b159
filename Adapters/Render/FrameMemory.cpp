#include "Adapters/Render/FrameMemory.hpp"

#include "Core/Render/FrameBuffers.hpp"

#include <malloc.h>

#include <mutex>
#include <vector>

namespace korvel::FrameMemory {

namespace {
// Small pictures are cheap to allocate; only frame-sized ones are kept.
constexpr size_t smallest = (1 << 20) / sizeof(float);
constexpr size_t mostBytes = size_t{1} << 30;

class Kept final : public FrameBuffers::Pool {
public:
    std::vector<float> take(size_t floats) override {
        if (floats >= smallest) {
            std::lock_guard guard(lock_);
            // The tightest buffer that holds it, and not one twice as large.
            size_t best = buffers_.size();
            for (size_t i = 0; i < buffers_.size(); ++i) {
                size_t c = buffers_[i].capacity();
                if (c >= floats && c <= floats * 2 && (best == buffers_.size() || c < buffers_[best].capacity())) best = i;
            }
            if (best < buffers_.size()) {
                std::vector<float> buffer = std::move(buffers_[best]);
                buffers_[best] = std::move(buffers_.back());
                buffers_.pop_back();
                bytes_ -= buffer.capacity() * sizeof(float);
                buffer.resize(floats);
                return buffer;
            }
        }
        std::vector<float> buffer;
        buffer.resize(floats);
        return buffer;
    }

    void keep(std::vector<float>&& buffer) noexcept override {
        size_t size = buffer.capacity() * sizeof(float);
        if (buffer.capacity() >= smallest) {
            std::lock_guard guard(lock_);
            if (users_ > 0 && bytes_ + size <= mostBytes) {
                bytes_ += size;
                buffers_.push_back(std::move(buffer));
                return;
            }
        }
        std::vector<float>().swap(buffer);
    }

    void use() {
        std::lock_guard guard(lock_);
        ++users_;
    }

    void letGo() {
        std::vector<std::vector<float>> freed;
        {
            std::lock_guard guard(lock_);
            if (--users_ > 0) return;
            freed.swap(buffers_);
            bytes_ = 0;
        }
    }

    size_t count() {
        std::lock_guard guard(lock_);
        return buffers_.size();
    }

private:
    std::mutex lock_;
    std::vector<std::vector<float>> buffers_;
    size_t bytes_ = 0;
    int users_ = 0;
};

// Never destroyed: buffers may still be dropped while the process ends.
Kept& kept() {
    static Kept* pool = new Kept;
    return *pool;
}
} // namespace

void keep() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Large blocks come from the heap and stay there for the next frame.
        mallopt(M_MMAP_THRESHOLD, 32 << 20); // the largest it takes
        mallopt(M_TRIM_THRESHOLD, 1024 << 20);
        FrameBuffers::install(&kept());
    });
}

Use::Use() {
    keep();
    kept().use();
}

Use::~Use() { kept().letGo(); }

size_t keptBuffers() { return kept().count(); }

} // namespace korvel::FrameMemory
