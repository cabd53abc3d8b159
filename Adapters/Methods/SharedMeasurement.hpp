#pragma once

#include "Adapters/Concurrency/BackgroundGate.hpp"
#include "Adapters/Concurrency/BlockingExecutor.hpp"
#include "Core/Jobs.hpp"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <variant>

namespace korvel {

// One running measurement per key, shared by every request that asks for it
// while it runs. Each waiter gets the run's progress and its own copy of the
// one result or error, and may leave alone; the run is cancelled only when
// nobody waits any more. A foreground joiner raises a background run so it
// stops giving way.
template <class T> class SharedMeasurement {
public:
    using Work = std::function<T(const JobContext&)>;

    explicit SharedMeasurement(BackgroundGate& gate) : gate_(gate) {}
    SharedMeasurement(const SharedMeasurement&) = delete;
    SharedMeasurement& operator=(const SharedMeasurement&) = delete;

    // Blocks the asking request until the run ends or the request is cancelled.
    T value(const std::string& key, bool nobodyWaits, const JobContext& job, Work work) {
        auto waiter = std::make_shared<Waiter>();
        const uint64_t waiterId = join(key, nobodyWaits, job, waiter, std::move(work));
        {
            // Runs at once, here, when the request was cancelled before it joined.
            std::stop_callback leaving(Task::currentToken(), [this, key, waiterId] { leave(key, waiterId); });
            std::unique_lock g(waiter->lock);
            waiter->resumed.wait(g, [&] { return waiter->outcome.has_value(); });
        }
        auto& outcome = *waiter->outcome;
        if (auto* error = std::get_if<std::exception_ptr>(&outcome)) std::rethrow_exception(*error);
        return std::move(std::get<T>(outcome));
    }

    // Waiters of the key's run; 0 when none runs.
    int waiting(const std::string& key) {
        std::lock_guard g(table_->lock);
        auto it = table_->running.find(key);
        return it == table_->running.end() ? 0 : static_cast<int>(it->second->waiters.size());
    }

    // Whether a run for the key is under way.
    bool isRunning(const std::string& key) {
        std::lock_guard g(table_->lock);
        return table_->running.count(key) > 0;
    }

private:
    using Outcome = std::variant<T, std::exception_ptr>;

    struct Waiter {
        std::mutex lock;
        std::condition_variable resumed;
        std::optional<Outcome> outcome;

        void resume(Outcome o) {
            {
                std::lock_guard g(lock);
                outcome.emplace(std::move(o));
            }
            resumed.notify_all();
        }
    };

    struct Listeners {
        std::mutex lock;
        std::map<uint64_t, JobContext> jobs;
    };

    struct Running {
        uint64_t id = 0;
        std::shared_ptr<RaisedFlag> raised = std::make_shared<RaisedFlag>();
        std::shared_ptr<Listeners> listeners = std::make_shared<Listeners>();
        std::map<uint64_t, std::shared_ptr<Waiter>> waiters;
        std::stop_source task;
    };

    // Outlives the measurement while abandoned runs wind down.
    struct Table {
        std::mutex lock;
        uint64_t nextId = 0;
        std::map<std::string, std::shared_ptr<Running>> running;
    };

    uint64_t join(const std::string& key, bool nobodyWaits, const JobContext& job,
                  const std::shared_ptr<Waiter>& waiter, Work work) {
        std::shared_ptr<Running> started;
        uint64_t waiterId;
        {
            std::lock_guard g(table_->lock);
            waiterId = ++table_->nextId;
            auto it = table_->running.find(key);
            if (it != table_->running.end()) {
                add(*it->second, waiterId, waiter, job);
                if (!nobodyWaits) it->second->raised->raise();
                return waiterId;
            }
            started = std::make_shared<Running>();
            started->id = ++table_->nextId;
            add(*started, waiterId, waiter, job);
            table_->running[key] = started;
        }
        auto listeners = started->listeners;
        JobContext::Reporter fanOut = [listeners](const EngineProgress& progress) {
            std::vector<JobContext> copy;
            {
                std::lock_guard g(listeners->lock);
                for (const auto& [id, context] : listeners->jobs) copy.push_back(context);
            }
            for (const auto& context : copy) context.report(progress);
        };
        JobContext context = nobodyWaits ? gate_.jobContext(std::move(fanOut), started->raised) : JobContext(std::move(fanOut));
        const uint64_t runId = started->id;
        const std::stop_token token = started->task.get_token();
        auto raised = started->raised;
        BlockingExecutor::shared().enqueue(
            nobodyWaits ? TaskPriority::background : TaskPriority::userInitiated,
            [table = table_, key, runId, token, raised, context = std::move(context), work = std::move(work)] {
                Task::Scope scope(token);
                RaisedScope raisedScope(raised);
                Outcome outcome = std::exception_ptr();
                try {
                    outcome = work(context);
                } catch (...) {
                    outcome = std::current_exception();
                }
                finish(*table, key, runId, std::move(outcome));
            });
        return waiterId;
    }

    static void add(Running& run, uint64_t waiterId, const std::shared_ptr<Waiter>& waiter, const JobContext& job) {
        run.waiters[waiterId] = waiter;
        std::lock_guard g(run.listeners->lock);
        run.listeners->jobs.emplace(waiterId, job);
    }

    static void finish(Table& table, const std::string& key, uint64_t runId, Outcome outcome) {
        std::map<uint64_t, std::shared_ptr<Waiter>> waiters;
        {
            std::lock_guard g(table.lock);
            auto it = table.running.find(key);
            if (it == table.running.end() || it->second->id != runId) return; // abandoned
            waiters = std::move(it->second->waiters);
            table.running.erase(it);
        }
        // Every waiter gets a copy of its own: each sets its asker's id on it.
        for (auto& [id, waiter] : waiters) waiter->resume(outcome);
    }

    void leave(const std::string& key, uint64_t waiterId) {
        std::shared_ptr<Waiter> waiter;
        std::shared_ptr<Running> abandoned;
        {
            std::lock_guard g(table_->lock);
            auto it = table_->running.find(key);
            if (it == table_->running.end()) return;
            auto& run = *it->second;
            auto w = run.waiters.find(waiterId);
            if (w == run.waiters.end()) return;
            waiter = w->second;
            run.waiters.erase(w);
            {
                std::lock_guard l(run.listeners->lock);
                run.listeners->jobs.erase(waiterId);
            }
            if (run.waiters.empty()) {
                abandoned = it->second;
                table_->running.erase(it);
            }
        }
        waiter->resume(std::make_exception_ptr(Cancelled{}));
        if (abandoned) abandoned->task.request_stop();
    }

    BackgroundGate& gate_;
    std::shared_ptr<Table> table_ = std::make_shared<Table>();
};

} // namespace korvel
