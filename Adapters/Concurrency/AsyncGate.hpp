#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

namespace korvel {

// Bounds how many pieces of work run at once. Waiters are admitted first in,
// first out; a waiter whose task is cancelled leaves the queue with Cancelled.
// The bound can be narrowed while some other work runs.
class AsyncGate {
public:
    explicit AsyncGate(int limit);
    AsyncGate(const AsyncGate&) = delete;
    AsyncGate& operator=(const AsyncGate&) = delete;

    // Takes a slot, waiting when none is free. Throws Cancelled when the
    // calling task is cancelled while it waits; a free slot is taken even by
    // a task that is already cancelled.
    void acquire();
    // As acquire(), but leaves the queue without a slot and answers false once
    // giveUp() answers true (asked every 0.1 s while waiting).
    bool acquire(const std::function<bool()>& giveUp);
    void release();

    // A temporary bound; the smallest one in force wins. Widening removes the
    // most recent narrowing, whoever added it.
    void narrow(int to);
    void widen();

    int used() const;
    int waiting() const;

    // Holds one slot for a scope.
    class Slot {
    public:
        explicit Slot(AsyncGate& gate) : gate_(&gate) { gate.acquire(); }
        ~Slot() {
            if (gate_) gate_->release();
        }
        Slot(Slot&& other) noexcept : gate_(other.gate_) { other.gate_ = nullptr; }
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;
        Slot& operator=(Slot&&) = delete;

    private:
        AsyncGate* gate_;
    };

private:
    struct Waiter {
        uint64_t id = 0;
        enum class State { waiting, admitted, abandoned } state = State::waiting;
    };

    int effectiveLimit() const; // caller holds lock_
    void letIn();               // caller holds lock_
    void abandon(uint64_t id);

    const int limit_;
    mutable std::mutex lock_;
    std::condition_variable resumed_;
    int used_ = 0;
    uint64_t nextId_ = 0;
    std::list<std::shared_ptr<Waiter>> waiters_;
    std::vector<int> narrowings_;
};

} // namespace korvel
