#include "Adapters/Concurrency/BlockingExecutor.hpp"

#include <algorithm>
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
    struct Queued {
        uint64_t number;
        std::function<void()> job;
    };

    Pool(TaskPriority priority, int limit, ThreadStarter start)
        : priority(priority), limit(limit), start(std::move(start)) {}

    TaskPriority priority;
    int limit;
    ThreadStarter start;
    std::mutex lock;
    std::condition_variable wake, left;
    std::deque<Queued> queue;
    uint64_t nextNumber = 0;
    int threads = 0;
    int idle = 0;
    bool stopping = false;

    void enqueue(std::function<void()> job) {
        uint64_t number;
        bool spawn;
        {
            std::lock_guard g(lock);
            number = ++nextNumber;
            queue.push_back({number, std::move(job)});
            // A queued job gets a waiting thread of its own while the bound allows.
            spawn = queue.size() > static_cast<size_t>(idle) && threads < limit;
            if (spawn) ++threads;
        }
        if (!spawn) {
            wake.notify_one();
            return;
        }
        try {
            start([this] { work(); });
        } catch (...) {
            std::lock_guard g(lock);
            --threads;
            left.notify_all();
            // Another thread of the pool will reach the job in its turn;
            // with none alive it would wait forever, so it goes back to the caller.
            if (threads > 0) return;
            auto it = std::find_if(queue.begin(), queue.end(), [number](const Queued& q) { return q.number == number; });
            if (it == queue.end()) return; // a thread that has since left ran it
            queue.erase(it);
            throw;
        }
    }

    void work() {
        executorThread = true;
        std::unique_lock g(lock);
        for (;;) {
            if (queue.empty()) {
                if (stopping) break;
                ++idle;
                bool woke = wake.wait_for(g, idleLifetime, [this] { return !queue.empty() || stopping; });
                --idle;
                if (!woke) break;
                continue;
            }
            auto job = std::move(queue.front().job);
            queue.pop_front();
            g.unlock();
            threadPriority = priority;
            setNice(priority == TaskPriority::background ? backgroundNice : 0);
            try {
                job();
            } catch (...) {
                // jobs answer their own failures; nothing may escape a pool thread
            }
            job = nullptr;
            g.lock();
        }
        --threads;
        left.notify_all();
    }

    void stop() {
        std::unique_lock g(lock);
        stopping = true;
        wake.notify_all();
        left.wait(g, [this] { return threads == 0; });
    }
};

namespace {
void startDetached(std::function<void()> body) { std::thread(std::move(body)).detach(); }
} // namespace

int BlockingExecutor::defaultThreadsPerPool() {
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    return std::max(16, 8 * cores);
}

BlockingExecutor::BlockingExecutor(int threadsPerPool, ThreadStarter start) {
    if (!start) start = startDetached;
    const int limit = std::max(1, threadsPerPool);
    pools_[0] = new Pool(TaskPriority::userInitiated, limit, start);
    pools_[1] = new Pool(TaskPriority::background, limit, start);
}

BlockingExecutor::~BlockingExecutor() {
    for (Pool* pool : pools_) {
        pool->stop();
        delete pool;
    }
}

BlockingExecutor& BlockingExecutor::shared() {
    // Never destroyed: detached pool threads may outlive main.
    static auto* executor = new BlockingExecutor(defaultThreadsPerPool());
    return *executor;
}

void BlockingExecutor::enqueue(TaskPriority priority, std::function<void()> job) {
    pools_[priority == TaskPriority::background ? 1 : 0]->enqueue(std::move(job));
}

int BlockingExecutor::threadCount(TaskPriority priority) {
    Pool* pool = pools_[priority == TaskPriority::background ? 1 : 0];
    std::lock_guard g(pool->lock);
    return pool->threads;
}

TaskPriority BlockingExecutor::currentPriority() { return threadPriority; }
bool BlockingExecutor::onExecutorThread() { return executorThread; }

} // namespace korvel
