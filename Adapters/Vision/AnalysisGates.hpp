#pragma once

#include "Adapters/Concurrency/BlockingExecutor.hpp"
#include "Adapters/Concurrency/AsyncGate.hpp"

#include <type_traits>

namespace korvel {

// Bounds how many analyses decode video at once: two foreground, one in the
// background. While a foreground analysis is in flight, renders run one at a
// time.
namespace AnalysisGates {
AsyncGate& video();
AsyncGate& ahead();
// RenderGates::renders(): the gate that a foreground analysis narrows to 1.
AsyncGate& renders();

namespace detail {
struct Held {
    explicit Held(bool foreground);
    ~Held();
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    bool foreground;
};
} // namespace detail

// Runs the whole of one video analysis (open, read, measure) under the gates
// chosen by the calling job's priority, on the blocking executor. Answers the
// work's result, rethrows its error.
template <class F> auto run(F work) -> std::invoke_result_t<F> {
    return BlockingExecutor::run([work = std::move(work)]() mutable {
        detail::Held held(BlockingExecutor::currentPriority() != TaskPriority::background);
        return work();
    });
}
} // namespace AnalysisGates

} // namespace korvel
