#pragma once

#include "Core/Jobs.hpp"

#include <functional>
#include <future>
#include <stop_token>
#include <type_traits>

namespace korvel {

enum class TaskPriority { userInitiated, background };

// Where job code runs: two pools of threads (user-initiated and background)
// that grow a thread whenever no idle one is waiting, up to a bound; beyond
// it queued jobs wait their turn. Background threads run at a lower
// scheduling priority.
class BlockingExecutor {
public:
    // Starts one detached thread running the body; throws std::system_error
    // when the system refuses (tests replace it to make that happen).
    using ThreadStarter = std::function<void(std::function<void()> body)>;

    static BlockingExecutor& shared();

    // Enough threads to keep every core busy while most of them block on
    // files, gates and decoders.
    static int defaultThreadsPerPool();

    explicit BlockingExecutor(int threadsPerPool, ThreadStarter start = {});
    // Waits for the pools' threads to leave; queued jobs still run first.
    ~BlockingExecutor();
    BlockingExecutor(const BlockingExecutor&) = delete;
    BlockingExecutor& operator=(const BlockingExecutor&) = delete;

    // Queues the job. When no thread of its pool exists and none can be
    // started, the job is dropped and the starter's error is thrown, so the
    // caller can answer for it.
    void enqueue(TaskPriority priority, std::function<void()> job);

    // Threads alive in a pool now.
    int threadCount(TaskPriority priority);

    // The priority of the job running on the calling thread.
    static TaskPriority currentPriority();
    static bool onExecutorThread();

    // Runs the body on the executor at the caller's priority with the
    // caller's cancellation, and returns its result or rethrows its error.
    // Already on an executor thread, the body runs in place.
    template <class F> static auto run(F body) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        if (onExecutorThread()) return body();
        std::packaged_task<R()> task(std::move(body));
        auto result = task.get_future();
        auto token = Task::currentToken();
        auto shared = std::make_shared<std::packaged_task<R()>>(std::move(task));
        BlockingExecutor::shared().enqueue(currentPriority(), [shared, token] {
            Task::Scope scope(token);
            (*shared)();
        });
        return result.get();
    }

private:
    struct Pool;
    Pool* pools_[2] = {nullptr, nullptr};
};

// Lifts the calling thread to user-initiated priority (best effort).
void liftCurrentThread();

} // namespace korvel
