#include "Adapters/Methods/SharedMeasurement.hpp"
#include "Adapters/Vision/AnalysisGates.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <latch>

using namespace korvel;
using namespace std::chrono_literals;

namespace {
std::future<int> askFor(SharedMeasurement<int>& shared, const std::string& key, bool background, std::latch* entered,
                        std::stop_source& cancel) {
    return std::async(std::launch::async, [&shared, key, background, entered, &cancel] {
        Task::Scope scope(cancel.get_token());
        return shared.value(key, background, JobContext::silent(), [entered](const JobContext& run) {
            return AnalysisGates::run([&] {
                if (entered) entered->count_down();
                run.giveWay();
                return 1;
            });
        });
    });
}
} // namespace

// One background video analysis holds the background slot and waits for the
// foreground to go quiet; a second queues behind it; a foreground request
// joins the second. The joined run must not wait for the slot.
TEST(RaisedRunGates, TwoBackgroundRunsAndAForegroundJoinAreAllAnswered) {
    BackgroundGate gate(1.0);
    SharedMeasurement<int> shared(gate);
    std::stop_source cancel;
    gate.began(); // the foreground request, counted while it runs
    std::latch holding(1);
    auto first = askFor(shared, "first", true, &holding, cancel);
    holding.wait();
    auto second = askFor(shared, "second", true, nullptr, cancel);
    while (AnalysisGates::ahead().waiting() != 1) std::this_thread::yield();
    auto foreground = askFor(shared, "second", false, nullptr, cancel);
    const bool answered = foreground.wait_for(10s) == std::future_status::ready;
    gate.ended();
    if (!answered) cancel.request_stop(); // don't hang the test run
    ASSERT_TRUE(answered);
    EXPECT_EQ(foreground.get(), 1);
    EXPECT_EQ(second.get(), 1);
    EXPECT_EQ(first.get(), 1);
    EXPECT_EQ(AnalysisGates::ahead().used(), 0);
    EXPECT_EQ(AnalysisGates::video().used(), 0);
}
