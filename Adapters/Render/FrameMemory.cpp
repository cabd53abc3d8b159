#include "Adapters/Render/FrameMemory.hpp"

#include "Core/Render/FrameBuffers.hpp"

#include <malloc.h>
#include <sys/mman.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace korvel::FrameMemory {

namespace {
// Small pictures are cheap to allocate; only frame-sized ones are kept (an
// encoder's 4:2:0 picture of a preview is about 2 MB).
constexpr size_t smallest = (1 << 18) / sizeof(float);
constexpr size_t mostBytes = size_t{1} << 30;

// A frame buffer first touched 4 KiB at a time faults once a page, and
// threads faulting together wait on each other; in 2 MiB pages a frame is
// a handful of faults. Only a hint: the system may say no.
void inHugePages(void* data, size_t bytes) {
    constexpr uintptr_t huge = uintptr_t{2} << 20;
    uintptr_t from = (reinterpret_cast<uintptr_t>(data) + huge - 1) & ~(huge - 1);
    uintptr_t to = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(huge - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

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
        buffer.reserve(floats);
        if (floats >= smallest) inHugePages(buffer.data(), floats * sizeof(float));
        buffer.resize(floats);
        return buffer;
    }

    void keep(std::vector<float>&& buffer) noexcept override {
        size_t size = buffer.capacity() * sizeof(float);
        if (buffer.capacity() >= smallest) {
            std::lock_guard guard(lock_);
            if ((users_ > 0 || idle_) && bytes_ + size <= mostBytes) {
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
        idle_ = false;
    }

    // An editor asks for one preview after another: the buffers wait a
    // while for the next render, as freed memory would be faulted in anew.
    void letGo() {
        {
            std::lock_guard guard(lock_);
            if (--users_ > 0) return;
            idle_ = true;
            idleSince_ = std::chrono::steady_clock::now();
            if (!reaping_) {
                // Lives as long as the pool, which the process never destroys.
                std::thread([this] { reap(); }).detach();
                reaping_ = true;
            }
        }
        wake_.notify_all();
    }

    void freeIdle(std::chrono::steady_clock::time_point now) {
        std::vector<std::vector<float>> freed;
        std::lock_guard guard(lock_);
        if (!idle_ || now - idleSince_ < grace) return;
        freed.swap(buffers_);
        bytes_ = 0;
        idle_ = false;
    }

    size_t count() {
        std::lock_guard guard(lock_);
        return buffers_.size();
    }

private:
    static constexpr std::chrono::seconds grace{30};

    [[noreturn]] void reap() {
        std::unique_lock guard(lock_);
        for (;;) {
            wake_.wait(guard, [this] { return idle_; });
            auto until = idleSince_ + grace;
            if (wake_.wait_until(guard, until, [&] { return !idle_ || idleSince_ + grace != until; })) continue;
            guard.unlock();
            freeIdle(std::chrono::steady_clock::now());
            guard.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::vector<std::vector<float>> buffers_;
    size_t bytes_ = 0;
    int users_ = 0;
    bool idle_ = false;
    std::chrono::steady_clock::time_point idleSince_;
    bool reaping_ = false;
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

void freeIdle(std::chrono::steady_clock::time_point now) { kept().freeIdle(now); }

} // namespace korvel::FrameMemory
