#include "Adapters/Methods/SharedMeasurement.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <thread>

using namespace korvel;

namespace {

// A request of its own, on a thread of its own, that can be cancelled.
template <class T> struct Asker {
    std::stop_source cancel;
    std::future<T> answer;
    std::vector<EngineProgress> seen;
    std::mutex seenLock;

    Asker(SharedMeasurement<T>& shared, const std::string& key, bool background,
          std::function<T(const JobContext&)> work) {
        answer = std::async(std::launch::async, [this, &shared, key, background, work] {
            Task::Scope scope(cancel.get_token());
            JobContext job([this](const EngineProgress& p) {
                std::lock_guard g(seenLock);
                seen.push_back(p);
            });
            return shared.value(key, background, job, work);
        });
    }
};

// Blocks the work until the test lets it go.
struct Hold {
    std::promise<void> go;
    std::shared_future<void> released = go.get_future().share();
    std::latch started{1};
    void release() { go.set_value(); }
};

void waitForWaiters(SharedMeasurement<int>& shared, const std::string& key, int count) {
    while (shared.waiting(key) != count) std::this_thread::yield();
}

} // namespace

TEST(SharedMeasurement, OneRunForTwoAskersWhoSeeTheSameProgress) {
    BackgroundGate gate(1.0);
    SharedMeasurement<int> shared(gate);
    std::atomic<int> calls{0};
    Hold hold;
    auto work = [&](const JobContext& run) {
        ++calls;
        hold.started.count_down();
        hold.released.wait();
        run.report({EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds, 5, 10});
        return 42;
    };
    Asker<int> a(shared, "k", false, work);
    hold.started.wait();
    Asker<int> b(shared, "k", false, work);
    waitForWaiters(shared, "k", 2);
    hold.release();
    EXPECT_EQ(a.answer.get(), 42);
    EXPECT_EQ(b.answer.get(), 42);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(a.seen.size(), 1u);
    EXPECT_EQ(b.seen.size(), 1u);
}

TEST(SharedMeasurement, ForegroundJoinerRaisesABackgroundRunThatWasGivingWay) {
    BackgroundGate gate(1.0);
    gate.began(); // a foreground request keeps the gate busy throughout
    SharedMeasurement<int> shared(gate);
    std::latch waiting{1};
    std::atomic<bool> mustAfter{true};
    auto work = [&](const JobContext& run) {
        EXPECT_TRUE(run.mustGiveWay());
        waiting.count_down();
        run.giveWay(); // returns only once raised
        mustAfter = run.mustGiveWay();
        return 7;
    };
    Asker<int> background(shared, "k", true, work);
    waiting.wait();
    Asker<int> foreground(shared, "k", false, work);
    EXPECT_EQ(foreground.answer.get(), 7);
    EXPECT_EQ(background.answer.get(), 7);
    EXPECT_FALSE(mustAfter.load());
    gate.ended();
}

TEST(SharedMeasurement, LeavingWaitersAndAbandonedRuns) {
    BackgroundGate gate(1.0);
    SharedMeasurement<int> shared(gate);
    Hold first;
    std::atomic<bool> sawCancel{false};
    auto slow = [&](const JobContext&) {
        first.started.count_down();
        first.released.wait();
        sawCancel = Task::isCancelled();
        return 1;
    };
    Asker<int> a(shared, "k", false, slow);
    first.started.wait();
    Asker<int> b(shared, "k", false, slow);
    waitForWaiters(shared, "k", 2);

    // The first leaves: it alone answers Cancelled, the run goes on.
    a.cancel.request_stop();
    EXPECT_THROW(a.answer.get(), Cancelled);
    EXPECT_EQ(shared.waiting("k"), 1);

    // The last leaves: the key is free at once and the work is told to stop.
    b.cancel.request_stop();
    EXPECT_THROW(b.answer.get(), Cancelled);
    EXPECT_FALSE(shared.isRunning("k"));

    // A third request starts a run of its own; the old run's late finish is ignored.
    Asker<int> c(shared, "k", false, [](const JobContext&) { return 3; });
    first.release();
    EXPECT_EQ(c.answer.get(), 3);
    while (!sawCancel.load()) std::this_thread::yield();
}

TEST(SharedMeasurement, ACancelledAskerThatNeverJoinedLeavesAtOnce) {
    BackgroundGate gate(1.0);
    SharedMeasurement<int> shared(gate);
    std::stop_source cancel;
    cancel.request_stop();
    Task::Scope scope(cancel.get_token());
    EXPECT_THROW(shared.value("k", false, JobContext::silent(),
                              [](const JobContext&) {
                                  while (!Task::isCancelled()) std::this_thread::yield();
                                  return 0;
                              }),
                 Cancelled);
    EXPECT_FALSE(shared.isRunning("k"));
}

TEST(SharedMeasurement, EveryWaiterGetsTheError) {
    BackgroundGate gate(1.0);
    SharedMeasurement<int> shared(gate);
    Hold hold;
    auto failing = [&](const JobContext&) -> int {
        hold.started.count_down();
        hold.released.wait();
        throw EngineFailure::invalidParams("This file has no audio track.");
    };
    Asker<int> a(shared, "k", false, failing);
    hold.started.wait();
    Asker<int> b(shared, "k", true, failing);
    waitForWaiters(shared, "k", 2);
    hold.release();
    for (auto* asker : {&a, &b}) {
        try {
            asker->answer.get();
            ADD_FAILURE() << "no error";
        } catch (const EngineFailure& f) {
            EXPECT_EQ(f.message, "This file has no audio track.");
        }
    }
}

TEST(SharedMeasurement, EachWaiterOwnsItsCopyOfTheResult) {
    BackgroundGate gate(1.0);
    SharedMeasurement<JSONValue> shared(gate);
    Hold hold;
    auto work = [&](const JobContext&) {
        hold.started.count_down();
        hold.released.wait();
        return JSONValue(JSONValue::Object{{"assetId", "starter"}});
    };
    std::promise<void> bothHave;
    auto both = bothHave.get_future().share();
    std::latch have{2};
    // Each asker writes its own id into what it got, as the service does, at the same time.
    auto ask = [&](std::string id) {
        return std::async(std::launch::async, [&, id] {
            JSONValue v = shared.value("k", false, JobContext::silent(), work);
            have.count_down();
            both.wait();
            v.objectPtr()->insert_or_assign("assetId", JSONValue(id));
            return v;
        });
    };
    auto a = ask("a");
    hold.started.wait();
    auto b = ask("b");
    while (shared.waiting("k") != 2) std::this_thread::yield();
    hold.release();
    have.wait();
    bothHave.set_value();
    EXPECT_EQ(*a.get().member("assetId"), JSONValue("a"));
    EXPECT_EQ(*b.get().member("assetId"), JSONValue("b"));
}
