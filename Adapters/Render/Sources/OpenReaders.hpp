#pragma once

#include "Adapters/Files/FileIdentity.hpp"
#include "Adapters/Files/FileStamp.hpp"
#include "Adapters/Render/Sources/VideoFrames.hpp"

#include <chrono>
#include <condition_variable>
#include <limits>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace korvel {

// Readers kept open between single frames and preview windows drawn from the
// same source, so a later frame of the same stretch continues the running
// decoder instead of starting at its sync sample again, and a later window
// starts with a decoder whose threads and pictures are made. Each reader is lent to one caller at a
// time; a few are kept, and those unused for a while are closed. Each frame
// thread of a kept decoder holds pictures of its own, so the kept ones
// together run at most a budget of decoder threads.
class OpenReaders {
public:
    struct Key {
        FileIdentity identity;
        FileStamp stamp;
        const VideoTrack* track = nullptr; // kept alive by the reader
        std::optional<AssetColor> color;
        DynamicRange output = DynamicRange::sdr;
        VideoFrames::FrameValues values = VideoFrames::FrameValues::picture;
        bool operator==(const Key&) const = default;
    };

    // A reader for one caller; it goes back to its cache when the lease
    // ends, unless dropped.
    class Lease {
    public:
        Lease() = default;
        Lease(OpenReaders* home, std::optional<Key> key, std::unique_ptr<VideoFrames::Reader> reader);
        ~Lease();
        Lease(Lease&&) noexcept;
        Lease& operator=(Lease&&) noexcept;
        VideoFrames::Reader* operator->() const { return reader_.get(); }
        explicit operator bool() const { return reader_ != nullptr; }
        // Closes the reader instead of keeping it, as after a failure.
        void drop() { reader_.reset(); }

    private:
        void giveBack();
        OpenReaders* home_ = nullptr;
        std::optional<Key> key_;
        std::unique_ptr<VideoFrames::Reader> reader_;
    };

    OpenReaders(size_t kept, std::chrono::milliseconds idle, int threads = std::numeric_limits<int>::max());
    ~OpenReaders();
    OpenReaders(const OpenReaders&) = delete;
    OpenReaders& operator=(const OpenReaders&) = delete;

    // The process-wide cache of the frames and windows drawn.
    static OpenReaders& shared();

    // A kept reader of the same file, unchanged, read the same way; else a
    // new one. A file whose attributes can't be read gets a reader that is
    // not kept.
    Lease take(const VideoSource& video, DynamicRange output, VideoFrames::FrameValues values);
    // Readers kept now.
    size_t size() const;

private:
    struct Entry {
        Key key;
        std::unique_ptr<VideoFrames::Reader> reader;
        std::chrono::steady_clock::time_point used;
    };
    void put(Key key, std::unique_ptr<VideoFrames::Reader> reader);
    void closeIdle(std::stop_token stop);

    const size_t kept_;
    const std::chrono::milliseconds idle_;
    const int threads_;
    mutable std::mutex lock_;
    std::condition_variable_any changed_;
    std::list<Entry> entries_; // most recently used first
    std::jthread closer_;
};

} // namespace korvel
