#include "Adapters/BlockingExecutor.hpp"

#include "Adapters/BackgroundGate.hpp"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace korvel {

namespace {
thread_local bool executorThread = false;
thread_local TaskPriority threadPriority = TaskPriority::userInitiated;

constexpr int backgroundNice = 10;
constexpr auto idleLifetime = std::chrono::seconds(30);

void setNice(int value) {
    // Raising priority back needs privilege; without it the thread stays lower.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), value);
}
} // namespace

void liftCurrentThread() {
    if (threadPriority == TaskPriority::userInitiated) return;
    setNice(0);
    threadPriority = TaskPriority::userInitiated;
}

struct BlockingExecutor::Pool {
    TaskPriority priority;
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::function<void()>> queue;
    int idle = 0;

    void enqueue(std::function<void()> job) {
        bool spawn;
        {
            std::lock_guard g(lock);
            queue.push_back(std::move(job));
            // Every queued job needs a waiting thread of its own.
            spawn = queue.size() > static_cast<size_t>(idle);
        }
        if (spawn) std::thread([this] { work(); }).detach();
        else wake.notify_one();
    }

    void work() {
        executorThread = true;
        std::unique_lock g(lock);
        for (;;) {
            if (queue.empty()) {
                ++idle;
                bool woke = wake.wait_for(g, idleLifetime, [this] { return !queue.empty(); });
                --idle;
                if (!woke) return;
            }
            auto job = std::move(queue.front());
            queue.pop_front();
            g.unlock();
            threadPriority = priority;
            setNice(priority == TaskPriority::background ? backgroundNice : 0);
            try {
                job();
            } catch (...) {
                // jobs answer their own failures; nothing may escape a pool thread
            }
            g.lock();
        }
    }
};

BlockingExecutor& BlockingExecutor::shared() {
    // Never destroyed: detached pool threads may outlive main.
    static BlockingExecutor* executor = [] {
        auto* e = new BlockingExecutor;
        e->pools_[0] = new Pool{TaskPriority::userInitiated, {}, {}, {}, 0};
        e->pools_[1] = new Pool{TaskPriority::background, {}, {}, {}, 0};
        return e;
    }();
    return *executor;
}

void BlockingExecutor::enqueue(TaskPriority priority, std::function<void()> job) {
    pools_[priority == TaskPriority::background ? 1 : 0]->enqueue(std::move(job));
}

TaskPriority BlockingExecutor::currentPriority() { return threadPriority; }
bool BlockingExecutor::onExecutorThread() { return executorThread; }

} // namespace korvel
