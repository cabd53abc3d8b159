#pragma once

#include "Core/Jobs.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

namespace korvel {

// Raised once a foreground request waits for a background measurement.
class RaisedFlag {
public:
    bool raised() const {
        std::lock_guard g(lock_);
        return raised_;
    }
    void raise() {
        std::lock_guard g(lock_);
        raised_ = true;
    }

private:
    mutable std::mutex lock_;
    bool raised_ = false;
};

// Arbitrates between foreground requests and background work: background
// work gives way until the foreground has been quiet for a while.
class BackgroundGate {
public:
    using Clock = std::chrono::steady_clock;

    explicit BackgroundGate(double quietAfterSeconds);
    static BackgroundGate& shared();

    void began();
    void ended();
    JobContext jobContext(JobContext::Reporter report, std::shared_ptr<RaisedFlag> raised);

    // The give-way wait of a gate-aware context; blocks the calling thread.
    void giveWay(const RaisedFlag& raised);
    bool mustGiveWay(const RaisedFlag& raised);

    int64_t waitedOn() const;

private:
    bool freeNow() const; // caller holds lock_

    const double quietAfterSeconds_;
    mutable std::mutex lock_;
    std::condition_variable condition_;
    int64_t waitedOn_ = 0;
    std::optional<Clock::time_point> lastEnded_;
};

// Marks the calling thread as running a shared measurement whose raised flag
// this is, so that gates it waits in can tell once a foreground request joined.
class RaisedScope {
public:
    explicit RaisedScope(std::shared_ptr<RaisedFlag> flag);
    ~RaisedScope();
    RaisedScope(const RaisedScope&) = delete;
    RaisedScope& operator=(const RaisedScope&) = delete;

    // The flag of the run on this thread; null outside a shared run.
    static const RaisedFlag* current();
    // True when this thread runs at user-initiated priority or its run was raised.
    static bool runsForeground();

private:
    std::shared_ptr<RaisedFlag> previous_;
};

} // namespace korvel
