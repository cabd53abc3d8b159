#pragma once

#include "Core/Jobs.hpp"

#include <atomic>
#include <stop_token>
#include <type_traits>

namespace korvel {

// Raised once when the task that waits for a blocking body is cancelled.
class StopFlag {
public:
    bool stopped() const { return stopped_.load(std::memory_order_acquire); }
    void stop() { stopped_.store(true, std::memory_order_release); }

private:
    std::atomic<bool> stopped_{false};
};

// Runs a synchronous body that may watch a StopFlag. Job code already runs
// on blocking-executor threads, so the body runs in place; cancelling the
// task raises the flag and never interrupts the body.
template <class F> auto blockingWork(F&& body) -> std::invoke_result_t<F, StopFlag&> {
    StopFlag flag;
    std::stop_callback raise(Task::currentToken(), [&flag] { flag.stop(); });
    return std::forward<F>(body)(flag);
}

} // namespace korvel
