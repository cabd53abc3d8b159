#include "Adapters/Concurrency/AsyncGate.hpp"

#include "Core/Jobs.hpp"

#include <algorithm>
#include <chrono>
#include <stop_token>

namespace korvel {

AsyncGate::AsyncGate(int limit) : limit_(limit) {}

int AsyncGate::effectiveLimit() const {
    if (narrowings_.empty()) return limit_;
    return *std::min_element(narrowings_.begin(), narrowings_.end());
}

void AsyncGate::letIn() {
    bool any = false;
    while (used_ < effectiveLimit() && !waiters_.empty()) {
        used_ += 1;
        waiters_.front()->state = Waiter::State::admitted;
        waiters_.pop_front();
        any = true;
    }
    if (any) resumed_.notify_all();
}

void AsyncGate::acquire() {
    std::unique_lock g(lock_);
    if (used_ < effectiveLimit()) {
        used_ += 1;
        return;
    }
    auto waiter = std::make_shared<Waiter>();
    waiter->id = nextId_++;
    waiters_.push_back(waiter);
    uint64_t id = waiter->id;
    g.unlock();
    // The callback may run at once on this thread when the task is already
    // cancelled, and its destructor waits for a running callback, so it is
    // never installed or removed with the lock held.
    bool abandoned = false;
    {
        std::stop_callback onCancel(Task::currentToken(), [this, id] { abandon(id); });
        std::unique_lock w(lock_);
        resumed_.wait(w, [&] { return waiter->state != Waiter::State::waiting; });
        abandoned = waiter->state == Waiter::State::abandoned;
        w.unlock();
    }
    if (abandoned) throw Cancelled();
}

bool AsyncGate::acquire(const std::function<bool()>& giveUp) {
    std::unique_lock g(lock_);
    if (used_ < effectiveLimit()) {
        used_ += 1;
        return true;
    }
    auto waiter = std::make_shared<Waiter>();
    waiter->id = nextId_++;
    waiters_.push_back(waiter);
    const uint64_t id = waiter->id;
    g.unlock();
    Waiter::State state;
    {
        std::stop_callback onCancel(Task::currentToken(), [this, id] { abandon(id); });
        std::unique_lock w(lock_);
        while (waiter->state == Waiter::State::waiting) {
            resumed_.wait_for(w, std::chrono::milliseconds(100));
            if (waiter->state != Waiter::State::waiting) break;
            w.unlock();
            const bool leave = giveUp();
            w.lock();
            if (leave && waiter->state == Waiter::State::waiting) {
                waiters_.remove(waiter);
                return false;
            }
        }
        state = waiter->state;
    }
    if (state == Waiter::State::abandoned) throw Cancelled();
    return true;
}

void AsyncGate::abandon(uint64_t id) {
    std::lock_guard g(lock_);
    auto it = std::find_if(waiters_.begin(), waiters_.end(), [id](const auto& w) { return w->id == id; });
    if (it == waiters_.end()) return; // already admitted: the task keeps its slot
    (*it)->state = Waiter::State::abandoned;
    waiters_.erase(it);
    resumed_.notify_all();
}

void AsyncGate::release() {
    std::lock_guard g(lock_);
    used_ -= 1;
    letIn();
}

void AsyncGate::narrow(int to) {
    std::lock_guard g(lock_);
    narrowings_.push_back(to);
}

void AsyncGate::widen() {
    std::lock_guard g(lock_);
    if (!narrowings_.empty()) narrowings_.pop_back();
    letIn();
}

int AsyncGate::used() const {
    std::lock_guard g(lock_);
    return used_;
}

int AsyncGate::waiting() const {
    std::lock_guard g(lock_);
    return static_cast<int>(waiters_.size());
}

} // namespace korvel
