#include "Adapters/Concurrency/BackgroundGate.hpp"

#include "Adapters/Concurrency/BlockingExecutor.hpp"

namespace korvel {

namespace {
thread_local std::shared_ptr<RaisedFlag> currentRaised;
} // namespace

RaisedScope::RaisedScope(std::shared_ptr<RaisedFlag> flag) : previous_(std::move(currentRaised)) {
    currentRaised = std::move(flag);
}

RaisedScope::~RaisedScope() { currentRaised = std::move(previous_); }

const RaisedFlag* RaisedScope::current() { return currentRaised.get(); }

bool RaisedScope::runsForeground() {
    if (BlockingExecutor::currentPriority() == TaskPriority::userInitiated) return true;
    return currentRaised && currentRaised->raised();
}

BackgroundGate::BackgroundGate(double quietAfterSeconds) : quietAfterSeconds_(quietAfterSeconds) {}

BackgroundGate& BackgroundGate::shared() {
    static auto* gate = new BackgroundGate(1.0); // lives as long as any job thread
    return *gate;
}

void BackgroundGate::began() {
    std::lock_guard g(lock_);
    ++waitedOn_;
}

void BackgroundGate::ended() {
    {
        std::lock_guard g(lock_);
        --waitedOn_;
        lastEnded_ = Clock::now();
    }
    condition_.notify_all();
}

int64_t BackgroundGate::waitedOn() const {
    std::lock_guard g(lock_);
    return waitedOn_;
}

bool BackgroundGate::freeNow() const {
    if (waitedOn_ != 0) return false;
    if (!lastEnded_) return true;
    return std::chrono::duration<double>(Clock::now() - *lastEnded_).count() >= quietAfterSeconds_;
}

void BackgroundGate::giveWay(const RaisedFlag& raised) {
    if (!raised.raised()) {
        std::unique_lock g(lock_);
        // Polls: the end of the quiet time, a raised flag and cancellation signal nothing.
        while (!freeNow() && !raised.raised() && !Task::isCancelled()) {
            condition_.wait_until(g, Clock::now() + std::chrono::milliseconds(100));
        }
    }
    if (raised.raised()) liftCurrentThread();
}

bool BackgroundGate::mustGiveWay(const RaisedFlag& raised) {
    if (raised.raised()) return false;
    std::lock_guard g(lock_);
    return !freeNow();
}

JobContext BackgroundGate::jobContext(JobContext::Reporter report, std::shared_ptr<RaisedFlag> raised) {
    return JobContext(
        std::move(report), [this, raised] { giveWay(*raised); }, [this, raised] { return mustGiveWay(*raised); });
}

} // namespace korvel
