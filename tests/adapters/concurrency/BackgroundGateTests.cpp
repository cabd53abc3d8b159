#include "Adapters/Concurrency/BackgroundGate.hpp"
#include "Adapters/Concurrency/BlockingExecutor.hpp"

#include <gtest/gtest.h>

#include <future>
#include <sys/resource.h>
#include <system_error>
#include <sys/syscall.h>
#include <unistd.h>
#include <thread>

using namespace korvel;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(BackgroundGate, FreeGateNeverWaits) {
    BackgroundGate gate(1.0);
    RaisedFlag flag;
    auto start = Clock::now();
    gate.giveWay(flag);
    EXPECT_LT(Clock::now() - start, 50ms);
    EXPECT_FALSE(gate.mustGiveWay(flag));
}

TEST(BackgroundGate, WaitsForTheQuietTimeAfterTheLastForegroundEnds) {
    BackgroundGate gate(0.3);
    RaisedFlag flag;
    gate.began();
    gate.began();
    EXPECT_TRUE(gate.mustGiveWay(flag));
    auto ender = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(50ms);
        gate.ended();
        std::this_thread::sleep_for(100ms);
        gate.ended();
    });
    auto start = Clock::now();
    gate.giveWay(flag);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, 150ms + 300ms - 20ms);
    EXPECT_LT(waited, 150ms + 300ms + 250ms);
    EXPECT_FALSE(gate.mustGiveWay(flag));
}

TEST(BackgroundGate, RaisedFlagOrCancellationEndsTheWait) {
    BackgroundGate gate(1.0);
    gate.began();
    {
        RaisedFlag flag;
        auto raiser = std::async(std::launch::async, [&] {
            std::this_thread::sleep_for(50ms);
            flag.raise();
        });
        auto start = Clock::now();
        gate.giveWay(flag);
        EXPECT_LT(Clock::now() - start, 400ms);
        EXPECT_FALSE(gate.mustGiveWay(flag));
    }
    {
        RaisedFlag flag;
        std::stop_source stop;
        auto canceller = std::async(std::launch::async, [&] {
            std::this_thread::sleep_for(50ms);
            stop.request_stop();
        });
        Task::Scope scope(stop.get_token());
        auto start = Clock::now();
        gate.giveWay(flag);
        EXPECT_LT(Clock::now() - start, 400ms);
    }
    gate.ended();
}

TEST(BackgroundGate, JobContextGivesWayThroughTheGate) {
    BackgroundGate gate(0.0);
    auto flag = std::make_shared<RaisedFlag>();
    std::vector<EngineProgress> seen;
    auto context = gate.jobContext([&](const EngineProgress& p) { seen.push_back(p); }, flag);
    gate.began();
    EXPECT_TRUE(context.mustGiveWay());
    flag->raise();
    EXPECT_FALSE(context.mustGiveWay());
    context.giveWay();
    context.report({});
    EXPECT_EQ(seen.size(), 1u);
    gate.ended();
}

TEST(BlockingExecutor, RunsEachPriorityOnItsOwnThreadsAndGrows) {
    // Eight jobs that all wait for each other finish only if every one gets a thread.
    std::atomic<int> arrived{0};
    std::vector<std::future<std::pair<TaskPriority, int>>> results;
    for (int i = 0; i < 8; ++i) {
        auto promise = std::make_shared<std::promise<std::pair<TaskPriority, int>>>();
        results.push_back(promise->get_future());
        auto priority = i % 2 ? TaskPriority::background : TaskPriority::userInitiated;
        BlockingExecutor::shared().enqueue(priority, [&arrived, promise] {
            ++arrived;
            while (arrived < 8) std::this_thread::sleep_for(1ms);
            int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
            promise->set_value({BlockingExecutor::currentPriority(), nice});
        });
    }
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(results[i].wait_for(5s), std::future_status::ready);
        auto [priority, nice] = results[i].get();
        EXPECT_EQ(priority, i % 2 ? TaskPriority::background : TaskPriority::userInitiated);
        if (i % 2) {
            EXPECT_EQ(nice, 10); // background threads run below the foreground
        }
    }
}

TEST(BlockingExecutor, RunCarriesResultErrorAndCancellation) {
    EXPECT_EQ(BlockingExecutor::run([] { return 41 + 1; }), 42);
    EXPECT_THROW(BlockingExecutor::run([]() -> int { throw EngineFailure::writeFailed("x"); }), EngineFailure);
    std::stop_source stop;
    stop.request_stop();
    Task::Scope scope(stop.get_token());
    EXPECT_THROW(BlockingExecutor::run([] { Task::checkCancellation(); }), Cancelled);
}

namespace {
// A starter that starts real threads until told to refuse, as the system
// does at its thread limit.
struct RefusingStarter {
    std::shared_ptr<std::atomic<int>> allowed = std::make_shared<std::atomic<int>>(0);
    BlockingExecutor::ThreadStarter starter() const {
        return [allowed = allowed](std::function<void()> body) {
            if (allowed->fetch_sub(1) <= 0) throw std::system_error(EAGAIN, std::generic_category(), "thread");
            std::thread(std::move(body)).detach();
        };
    }
};
} // namespace

TEST(BlockingExecutor, PoolsAreBoundedAndQueuedJobsWaitTheirTurn) {
    BlockingExecutor executor(3);
    std::atomic<int> running{0}, most{0}, done{0};
    for (int i = 0; i < 12; ++i) {
        executor.enqueue(TaskPriority::userInitiated, [&] {
            int now = ++running;
            for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
            }
            std::this_thread::sleep_for(2ms);
            --running;
            ++done;
        });
        EXPECT_LE(executor.threadCount(TaskPriority::userInitiated), 3);
    }
    for (int i = 0; i < 500 && done < 12; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(done, 12);
    EXPECT_LE(most, 3);
    EXPECT_GE(BlockingExecutor::defaultThreadsPerPool(), 16);
}

TEST(BlockingExecutor, RefusedThreadFailsOnlyWhenNoThreadCanRunTheJob) {
    RefusingStarter refusing;
    BlockingExecutor executor(8, refusing.starter());
    bool ran = false;
    EXPECT_THROW(executor.enqueue(TaskPriority::userInitiated, [&] { ran = true; }), std::system_error);
    EXPECT_EQ(executor.threadCount(TaskPriority::userInitiated), 0);

    // With one thread alive, a job whose own thread is refused waits for it.
    *refusing.allowed = 1;
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<int> done{0};
    executor.enqueue(TaskPriority::userInitiated, [&, released] {
        released.wait();
        ++done;
    });
    EXPECT_NO_THROW(executor.enqueue(TaskPriority::userInitiated, [&] { ++done; }));
    EXPECT_EQ(executor.threadCount(TaskPriority::userInitiated), 1);
    release.set_value();
    for (int i = 0; i < 500 && done < 2; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(done, 2);
    EXPECT_FALSE(ran);
}
