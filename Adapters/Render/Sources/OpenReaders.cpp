#include "Adapters/Render/Sources/OpenReaders.hpp"

#include "Adapters/Render/Drawing/FrameMemory.hpp"

#include <thread>
#include <vector>

namespace korvel {

OpenReaders::Lease::Lease(OpenReaders* home, std::optional<Key> key, std::unique_ptr<VideoFrames::Reader> reader)
    : home_(home), key_(std::move(key)), reader_(std::move(reader)) {}

OpenReaders::Lease::~Lease() { giveBack(); }

OpenReaders::Lease::Lease(Lease&& other) noexcept
    : home_(other.home_), key_(std::move(other.key_)), reader_(std::move(other.reader_)) {
    other.home_ = nullptr;
}

OpenReaders::Lease& OpenReaders::Lease::operator=(Lease&& other) noexcept {
    if (this != &other) {
        giveBack();
        home_ = other.home_;
        key_ = std::move(other.key_);
        reader_ = std::move(other.reader_);
        other.home_ = nullptr;
    }
    return *this;
}

void OpenReaders::Lease::giveBack() {
    if (home_ && key_ && reader_) {
        try {
            home_->put(std::move(*key_), std::move(reader_));
        } catch (...) {
            // Not kept: the reader closes here.
        }
    }
    reader_.reset();
    home_ = nullptr;
}

OpenReaders::OpenReaders(size_t kept, std::chrono::milliseconds idle, int threads)
    : kept_(kept), idle_(idle), threads_(threads), closer_([this](std::stop_token stop) { closeIdle(stop); }) {}

OpenReaders::~OpenReaders() {
    closer_.request_stop();
    if (closer_.joinable()) closer_.join();
}

OpenReaders& OpenReaders::shared() {
    // A decoder of a large picture holds several frames: few are kept, with
    // as many decoder threads together as two decoders alone would run, so a
    // picture and its overlay are scrubbed without starting over.
    static const int alone = static_cast<int>(std::thread::hardware_concurrency()) + 1;
    static OpenReaders readers(3, std::chrono::seconds(10), 2 * alone);
    return readers;
}

OpenReaders::Lease OpenReaders::take(const VideoSource& video, DynamicRange output, VideoFrames::FrameValues values) {
    auto make = [&] {
        return std::make_unique<VideoFrames::Reader>(video.url, video.track, video.color, output, values);
    };
    auto stamp = FileStamp::of(video.url);
    if (!stamp) return Lease(nullptr, std::nullopt, make());
    Key key{FileIdentity::of(video.url), *stamp, video.track.get(), video.color, output, values};
    {
        std::lock_guard g(lock_);
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->key == key) {
                auto reader = std::move(it->reader);
                entries_.erase(it);
                return Lease(this, std::move(key), std::move(reader));
            }
        }
    }
    return Lease(this, std::move(key), make());
}

size_t OpenReaders::size() const {
    std::lock_guard g(lock_);
    return entries_.size();
}

void OpenReaders::put(Key key, std::unique_ptr<VideoFrames::Reader> reader) {
    std::vector<std::unique_ptr<VideoFrames::Reader>> closed; // closed outside the lock
    {
        std::lock_guard g(lock_);
        entries_.push_front(Entry{std::move(key), std::move(reader), std::chrono::steady_clock::now()});
        auto threads = [&] {
            int n = 0;
            for (const auto& e : entries_) n += e.reader->decoderThreads();
            return n;
        };
        // The newest stays even alone over the budget: it is the likeliest asked for next.
        while (entries_.size() > kept_ || (entries_.size() > 1 && threads() > threads_)) {
            closed.push_back(std::move(entries_.back().reader));
            entries_.pop_back();
        }
    }
    changed_.notify_all();
    if (!closed.empty()) {
        closed.clear();
        FrameMemory::heapLetGo();
    }
}

void OpenReaders::closeIdle(std::stop_token stop) {
    std::unique_lock g(lock_);
    while (!stop.stop_requested()) {
        if (entries_.empty()) {
            changed_.wait(g, stop, [&] { return !entries_.empty(); });
            continue;
        }
        auto oldest = entries_.back().used;
        if (std::chrono::steady_clock::now() - oldest >= idle_) {
            auto closed = std::move(entries_.back().reader);
            entries_.pop_back();
            g.unlock();
            closed.reset();
            FrameMemory::heapLetGo();
            g.lock();
            continue;
        }
        changed_.wait_until(g, stop, oldest + idle_, [] { return false; });
    }
}

} // namespace korvel
