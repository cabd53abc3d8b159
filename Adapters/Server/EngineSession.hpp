#pragma once

#include "Adapters/Concurrency/BackgroundGate.hpp"
#include "Core/Engine.hpp"
#include "Core/RPC.hpp"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

namespace korvel {

// Every output line leaves through here, whole and one at a time.
class Wire {
public:
    using Sink = std::function<void(const std::string& line)>;
    explicit Wire(Sink sink) : sink_(std::move(sink)) {}

    // Appends the newline; rethrows the sink's failure. A line written from
    // inside the sink on the same thread (an in-process host answering a
    // line with a line) goes out after the sink returns, in order.
    void write(std::string bytes);
    // Never throws: a failure becomes a diagnostic line.
    void sendIgnoringClosedPipe(const RPC::Response& response);
    // True on a thread inside the sink (an in-process host's callback).
    bool writingHere() const;

private:
    std::mutex lock_;
    Sink sink_;
    std::vector<std::string> deferred_; // touched only by the writing thread
};

// Ids are the client's and may repeat while a request still runs, so each
// started job also carries a number of its own (its start order).
class RunningJobs {
public:
    void enter();
    void leave();
    // A fresh number for a job about to start.
    uint64_t nextNumber();
    // Registers a started task unless its job already finished.
    void registerTask(int64_t id, std::shared_ptr<std::stop_source> task) { registerTask(id, 0, std::move(task)); }
    void registerTask(int64_t id, uint64_t number, std::shared_ptr<std::stop_source> task);
    void finish(int64_t id) { finish(id, 0); }
    void finish(int64_t id, uint64_t number);
    // Cancels the latest running request with this id that is not cancelled yet.
    void cancel(int64_t id);
    void cancelAll();
    // Held while a job's thread writes a line: an in-process host's callback
    // may run inside the write, and the job can't end before it returns.
    // `writing` is the job's own count of its threads inside a write.
    class CallingOut {
    public:
        CallingOut(RunningJobs& jobs, int& writing);
        ~CallingOut();
        CallingOut(const CallingOut&) = delete;
        CallingOut& operator=(const CallingOut&) = delete;

    private:
        RunningJobs& jobs_;
        int& writing_;
    };
    // False when the deadline passed with jobs still running; with
    // `exceptCallingOut`, jobs whose threads are writing count as ended.
    bool waitUntil(std::chrono::steady_clock::time_point deadline, bool exceptCallingOut = false);

    size_t registeredCount();
    size_t finishedCount();

private:
    std::mutex lock_;
    std::condition_variable groupEmpty_;
    int64_t group_ = 0;
    uint64_t lastNumber_ = 0;
    std::map<int64_t, std::map<uint64_t, std::shared_ptr<std::stop_source>>> tasks_;
    std::set<std::pair<int64_t, uint64_t>> finished_;
    int64_t callingOut_ = 0; // jobs with a thread inside a write
};

class BlockingExecutor;

class EngineSession {
public:
    EngineSession(Engine engine, BackgroundGate& gate, Wire::Sink sink);
    EngineSession(Engine engine, BackgroundGate& gate, Wire::Sink sink, BlockingExecutor& executor);

    // An empty line is no message. Throws only when a direct answer cannot be written.
    void receive(std::string_view line);
    void start(const Job& job, const RPC::Request& request);
    // The same, taking the request's params instead of copying them.
    void start(const Job& job, RPC::Request&& request);
    // Cancels what runs and waits up to the grace; false when jobs still run.
    // From inside the sink (a host's callback) it can't wait for jobs whose
    // threads are writing, its own among them: it waits for the others.
    bool stop(std::chrono::milliseconds grace);
    // True on a thread inside the sink.
    bool insideSink() const { return wire_.writingHere(); }

    static bool somebodyWaits(const RPC::Request& request);

    RunningJobs& jobs() { return jobs_; }
    const Engine& engine() const { return engine_; }

private:
    Engine engine_;
    Wire wire_;
    RunningJobs jobs_;
    BackgroundGate& gate_;
    BlockingExecutor& executor_;
};

} // namespace korvel
