#pragma once

#include "Core/Jobs.hpp"

#include <functional>
#include <future>
#include <stop_token>
#include <type_traits>

namespace korvel {

enum class TaskPriority { userInitiated, background };

// Where job code runs: two elastic pools of threads (user-initiated and
// background) that grow a thread whenever no idle one is waiting, so a job
// that blocks never holds up another. Background threads run at a lower
// scheduling priority.
class BlockingExecutor {
public:
    static BlockingExecutor& shared();

    void enqueue(TaskPriority priority, std::function<void()> job);

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
    BlockingExecutor() = default;
    struct Pool;
    Pool* pools_[2] = {nullptr, nullptr};
};

} // namespace korvel
