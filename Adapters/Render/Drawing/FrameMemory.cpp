#include "Adapters/Render/Drawing/FrameMemory.hpp"

#include "Core/Picture/FrameBuffers.hpp"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace korvel::FrameMemory {

namespace {
using Clock = std::chrono::steady_clock;

size_t pageRounded(size_t bytes) {
    static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

class Kept final : public FrameBuffers::Pool {
public:
    FrameBuffers::Floats take(size_t floats) override {
        if (floats * sizeof(float) >= FrameBuffers::largeBytes) {
            std::lock_guard guard(lock_);
            // The tightest buffer that holds it, and not one twice as large.
            size_t best = kept_.size();
            for (size_t i = 0; i < kept_.size(); ++i) {
                size_t c = kept_[i].buffer.capacity();
                if (c >= floats && c <= floats * 2 && (best == kept_.size() || c < kept_[best].buffer.capacity())) best = i;
            }
            if (best < kept_.size()) {
                FrameBuffers::Floats buffer = std::move(kept_[best].buffer);
                kept_.erase(kept_.begin() + static_cast<ptrdiff_t>(best));
                bytes_ -= buffer.capacity() * sizeof(float);
                changed();
                buffer.resize(floats);
                return buffer;
            }
        }
        FrameBuffers::Floats buffer;
        buffer.reserve(floats);
        buffer.resize(floats);
        return buffer;
    }

    // The newest are kept: the oldest are the likeliest to be of a size no
    // render asks for anymore.
    void keep(FrameBuffers::Floats&& buffer) noexcept override {
        const size_t size = buffer.capacity() * sizeof(float);
        std::vector<FrameBuffers::Floats> dropped;
        if (size >= FrameBuffers::largeBytes && size <= mostBytes) {
            std::lock_guard guard(lock_);
            try {
                dropped.reserve(kept_.size() + 1);
                kept_.push_back({std::move(buffer), Clock::now()});
            } catch (const std::bad_alloc&) {
                return; // the buffer goes with this frame
            }
            bytes_ += size;
            while (bytes_ > mostBytes) {
                bytes_ -= kept_.front().buffer.capacity() * sizeof(float);
                dropped.push_back(std::move(kept_.front().buffer));
                kept_.erase(kept_.begin());
            }
            changed();
        }
        // Unmapped here, outside the lock.
        FrameBuffers::Floats().swap(buffer);
    }

    void* map(size_t bytes) override {
        const size_t length = pageRounded(bytes);
        void* block = length >= hugePage ? hugeAligned(length) : plain(length);
        if (block == MAP_FAILED) throw std::bad_alloc();
        // A frame first touched 4 KiB at a time faults once a page, and
        // threads faulting together wait on each other; in 2 MiB pages a
        // frame is a handful of faults. Only a hint: the system may say no.
        if (length >= hugePage) ::madvise(block, length, MADV_HUGEPAGE);
        mapped_.fetch_add(length, std::memory_order_relaxed);
        maps_.fetch_add(1, std::memory_order_relaxed);
        return block;
    }

    void unmap(void* block, size_t bytes) noexcept override {
        const size_t length = pageRounded(bytes);
        ::munmap(block, length);
        mapped_.fetch_sub(length, std::memory_order_relaxed);
    }

    void freeIdle(Clock::time_point now) {
        std::vector<FrameBuffers::Floats> dropped;
        std::lock_guard guard(lock_);
        while (!kept_.empty() && now - kept_.front().at >= grace) {
            bytes_ -= kept_.front().buffer.capacity() * sizeof(float);
            dropped.push_back(std::move(kept_.front().buffer));
            kept_.erase(kept_.begin());
        }
    }

    size_t count() {
        std::lock_guard guard(lock_);
        return kept_.size();
    }
    size_t bytes() {
        std::lock_guard guard(lock_);
        return bytes_;
    }
    size_t mapped() const { return mapped_.load(std::memory_order_relaxed); }
    size_t maps() const { return maps_.load(std::memory_order_relaxed); }

    void use() {
        std::lock_guard guard(lock_);
        changed();
    }

    // Every render that ends asks for a trim, not only the last: under an
    // editor's load renders overlap for minutes and none would come.
    void letGo() {
        std::lock_guard guard(lock_);
        if (trimDue_) return; // the trim already asked for takes this render's pages too
        endedAt_ = Clock::now();
        trimDue_ = true;
        changed();
    }

private:
    static constexpr size_t hugePage = size_t{2} << 20;

    static void* plain(size_t length) {
        return ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }

    // Starting on a 2 MiB boundary: a block that starts anywhere has up to
    // 2 MiB at each end in small pages, each a fault of its own, for every
    // frame buffer made.
    static void* hugeAligned(size_t length) {
        void* wide = plain(length + hugePage);
        if (wide == MAP_FAILED) return wide;
        const auto at = reinterpret_cast<uintptr_t>(wide);
        const uintptr_t start = (at + hugePage - 1) / hugePage * hugePage;
        if (start > at) ::munmap(wide, start - at);
        if (const size_t after = at + length + hugePage - (start + length)) {
            ::munmap(reinterpret_cast<void*>(start + length), after);
        }
        return reinterpret_cast<void*>(start);
    }

    struct Buffer {
        FrameBuffers::Floats buffer;
        Clock::time_point at;
    };

    // Under the lock.
    void changed() {
        ++version_;
        if (!reaping_) {
            try {
                // Lives as long as the pool, which the process never destroys.
                std::thread([this] { reap(); }).detach();
                reaping_ = true;
            } catch (const std::system_error&) {
                // No thread now: the next change tries again.
            }
        }
        wake_.notify_all();
    }

    // Decoders, encoders and their threads free what they took from the heap
    // when a render ends, but the heap keeps the freed pages, arena by arena
    // (one per thread that allocated, many with the pools' threads), for later
    // allocations. A moment after a render ends they go back to the system: a
    // trim, which changes none of the heap's policy. Not at once, and at most
    // once a moment: a burst of renders ending together is one trim.
    [[noreturn]] void reap() {
        std::unique_lock guard(lock_);
        for (;;) {
            wake_.wait(guard, [this] { return !kept_.empty() || trimDue_; });
            auto until = Clock::time_point::max();
            if (!kept_.empty()) until = kept_.front().at + grace;
            if (trimDue_) until = std::min(until, endedAt_ + settle);
            const uint64_t seen = version_;
            if (wake_.wait_until(guard, until, [&] { return version_ != seen; })) continue;
            const bool trim = trimDue_ && Clock::now() >= endedAt_ + settle;
            if (trim) trimDue_ = false;
            guard.unlock();
            freeIdle(Clock::now());
            if (trim) ::malloc_trim(0);
            guard.lock();
        }
    }

    static constexpr std::chrono::milliseconds settle{500};

    std::mutex lock_;
    std::condition_variable wake_;
    std::vector<Buffer> kept_; // oldest first
    size_t bytes_ = 0;
    std::atomic<size_t> mapped_{0};
    std::atomic<size_t> maps_{0};
    bool reaping_ = false;
    bool trimDue_ = false;
    Clock::time_point endedAt_; // of the first render that ended since the last trim
    uint64_t version_ = 0;
};

// Never destroyed: buffers may still be dropped while the process ends.
Kept& kept() {
    static Kept* pool = new Kept;
    return *pool;
}
} // namespace

void keep() {
    static std::once_flag once;
    std::call_once(once, [] { FrameBuffers::install(&kept()); });
}

Use::Use() {
    keep();
    kept().use();
}

Use::~Use() { kept().letGo(); }

void heapLetGo() { kept().letGo(); }

size_t keptBuffers() { return kept().count(); }
size_t keptBytes() { return kept().bytes(); }
size_t mappedBytes() { return kept().mapped(); }
size_t mapsSoFar() { return kept().maps(); }

void freeIdle(Clock::time_point now) { kept().freeIdle(now); }

} // namespace korvel::FrameMemory
