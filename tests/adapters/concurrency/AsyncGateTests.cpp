#include "Adapters/Concurrency/AsyncGate.hpp"
#include "Core/Jobs.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using namespace korvel;
using namespace std::chrono_literals;

namespace {

// A waiter on its own thread with its own cancellation.
struct Acquirer {
    std::stop_source stop;
    std::thread thread;
    std::atomic<int> outcome{0}; // 0 waiting, 1 admitted, 2 cancelled

    Acquirer(AsyncGate& gate, std::vector<int>* order = nullptr, std::mutex* orderLock = nullptr, int name = 0) {
        thread = std::thread([this, &gate, order, orderLock, name, token = stop.get_token()] {
            Task::Scope scope(token);
            try {
                gate.acquire();
                if (order) {
                    std::lock_guard g(*orderLock);
                    order->push_back(name);
                }
                outcome = 1;
            } catch (const Cancelled&) {
                outcome = 2;
            }
        });
    }
    ~Acquirer() {
        if (thread.joinable()) thread.join();
    }
};

template <class P> bool eventually(P predicate) {
    for (int i = 0; i < 2000; ++i) {
        if (predicate()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return predicate();
}

} // namespace

TEST(AsyncGate, FifthAcquirerWaitsUntilARelease) {
    AsyncGate gate(4);
    for (int i = 0; i < 4; ++i) gate.acquire();
    Acquirer fifth(gate);
    ASSERT_TRUE(eventually([&] { return gate.waiting() == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(fifth.outcome, 0);
    gate.release();
    fifth.thread.join();
    EXPECT_EQ(fifth.outcome, 1);
    EXPECT_EQ(gate.used(), 4);
}

TEST(AsyncGate, NarrowingHoldsNewcomersUntilBelowItAndWideningAdmitsUpToThePlainLimit) {
    AsyncGate gate(4);
    for (int i = 0; i < 3; ++i) gate.acquire();
    gate.narrow(1);
    std::vector<std::unique_ptr<Acquirer>> queue;
    for (int i = 0; i < 3; ++i) {
        queue.push_back(std::make_unique<Acquirer>(gate));
        ASSERT_TRUE(eventually([&] { return gate.waiting() == i + 1; }));
    }
    EXPECT_EQ(gate.used(), 3); // held slots are not taken back
    gate.release();
    gate.release();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(gate.waiting(), 3); // used 1 is not below the narrowing
    gate.widen();
    // Plain limit 4 with one held: all three come in.
    for (auto& a : queue) a->thread.join();
    for (auto& a : queue) EXPECT_EQ(a->outcome, 1);
    EXPECT_EQ(gate.used(), 4);
}

TEST(AsyncGate, AdmitsWaitersInArrivalOrder) {
    AsyncGate gate(1);
    gate.acquire();
    std::vector<std::unique_ptr<Acquirer>> queue;
    for (int i = 0; i < 3; ++i) {
        queue.push_back(std::make_unique<Acquirer>(gate));
        ASSERT_TRUE(eventually([&] { return gate.waiting() == i + 1; }));
    }
    for (size_t next = 0; next < queue.size(); ++next) {
        gate.release();
        queue[next]->thread.join();
        EXPECT_EQ(queue[next]->outcome, 1) << next;
        for (size_t later = next + 1; later < queue.size(); ++later) EXPECT_EQ(queue[later]->outcome, 0) << later;
    }
}

TEST(AsyncGate, CancelledWaiterLeavesAndTheOthersKeepTheirOrder) {
    AsyncGate gate(1);
    gate.acquire();
    std::vector<int> order;
    std::mutex orderLock;
    std::vector<std::unique_ptr<Acquirer>> queue;
    for (int i = 0; i < 3; ++i) {
        queue.push_back(std::make_unique<Acquirer>(gate, &order, &orderLock, i));
        ASSERT_TRUE(eventually([&] { return gate.waiting() == i + 1; }));
    }
    queue[1]->stop.request_stop();
    queue[1]->thread.join();
    EXPECT_EQ(queue[1]->outcome, 2);
    EXPECT_EQ(gate.waiting(), 2);
    EXPECT_EQ(gate.used(), 1); // a cancelled waiter never held a slot
    gate.release();
    ASSERT_TRUE(eventually([&] { return queue[0]->outcome == 1; }));
    gate.release();
    ASSERT_TRUE(eventually([&] { return queue[2]->outcome == 1; }));
    EXPECT_EQ(order, (std::vector<int>{0, 2}));
}

TEST(AsyncGate, CancelledTaskStillTakesAFreeSlotAndKeepsItAfterAdmission) {
    AsyncGate gate(1);
    std::stop_source stop;
    stop.request_stop();
    {
        Task::Scope scope(stop.get_token());
        EXPECT_NO_THROW(gate.acquire());
    }
    EXPECT_EQ(gate.used(), 1);

    Acquirer late(gate);
    ASSERT_TRUE(eventually([&] { return gate.waiting() == 1; }));
    gate.release();
    late.thread.join();
    late.stop.request_stop(); // after admission: nothing to abandon
    EXPECT_EQ(late.outcome, 1);
    EXPECT_EQ(gate.used(), 1);
}

TEST(AsyncGate, SlotReleasesOnEveryPath) {
    AsyncGate gate(2);
    try {
        AsyncGate::Slot slot(gate);
        EXPECT_EQ(gate.used(), 1);
        throw std::runtime_error("work failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(gate.used(), 0);
}
