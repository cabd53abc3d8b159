#include "Adapters/Server/EngineSession.hpp"

#include "Adapters/Concurrency/BlockingExecutor.hpp"
#include "Adapters/Server/Stderr.hpp"

namespace korvel {

namespace {
thread_local const Wire* writingWire = nullptr;
}

void Wire::write(std::string bytes) {
    bytes.push_back('\n');
    if (writingWire == this) {
        deferred_.push_back(std::move(bytes));
        return;
    }
    std::lock_guard g(lock_);
    struct Writing {
        const Wire* outer;
        explicit Writing(const Wire* wire) : outer(writingWire) { writingWire = wire; }
        ~Writing() { writingWire = outer; }
    } writing(this);
    try {
        sink_(bytes);
    } catch (...) {
        deferred_.clear();
        throw;
    }
    // Lines the sink wrote meanwhile; they may defer further lines themselves.
    for (size_t i = 0; i < deferred_.size(); ++i) {
        std::string next = std::move(deferred_[i]);
        try {
            sink_(next);
        } catch (...) {
            // the line that caused it was already delivered; this one is dropped
        }
    }
    deferred_.clear();
}

bool Wire::writingHere() const { return writingWire == this; }

void Wire::sendIgnoringClosedPipe(const RPC::Response& response) {
    std::string id = response.id ? std::to_string(*response.id) : "null";
    std::string bytes;
    try {
        bytes = RPC::encode(response);
    } catch (const std::exception& ex) {
        // A result JSON cannot hold still gets an answer, so the client never waits forever.
        bytes = RPC::encode(RPC::Response{"2.0", response.id, std::nullopt,
                                          RPC::ErrorBody{RPC::internalError, ex.what(), std::nullopt}});
    }
    try {
        write(std::move(bytes));
    } catch (const std::exception& ex) {
        Stderr::write("korvel-engine: could not answer " + id + ": " + ex.what() + "\n");
    } catch (...) {
        Stderr::write("korvel-engine: could not answer " + id + ": unknown error\n");
    }
}

void RunningJobs::enter() {
    std::lock_guard g(lock_);
    ++group_;
}

void RunningJobs::leave() {
    std::lock_guard g(lock_);
    if (--group_ == 0) groupEmpty_.notify_all();
}

uint64_t RunningJobs::nextNumber() {
    std::lock_guard g(lock_);
    return ++lastNumber_;
}

void RunningJobs::registerTask(int64_t id, uint64_t number, std::shared_ptr<std::stop_source> task) {
    std::lock_guard g(lock_);
    if (finished_.erase({id, number})) return;
    tasks_[id][number] = std::move(task);
}

void RunningJobs::finish(int64_t id, uint64_t number) {
    std::lock_guard g(lock_);
    auto it = tasks_.find(id);
    if (it != tasks_.end() && it->second.erase(number)) {
        if (it->second.empty()) tasks_.erase(it);
        return;
    }
    finished_.insert({id, number});
}

void RunningJobs::cancel(int64_t id) {
    std::shared_ptr<std::stop_source> task;
    {
        std::lock_guard g(lock_);
        if (auto it = tasks_.find(id); it != tasks_.end()) {
            for (auto at = it->second.rbegin(); at != it->second.rend(); ++at) {
                if (!at->second->stop_requested()) {
                    task = at->second;
                    break;
                }
            }
        }
    }
    if (task) task->request_stop();
}

void RunningJobs::cancelAll() {
    std::vector<std::shared_ptr<std::stop_source>> copy;
    {
        std::lock_guard g(lock_);
        for (auto& [id, numbered] : tasks_)
            for (auto& [number, task] : numbered) copy.push_back(task);
    }
    for (auto& task : copy) task->request_stop();
}

RunningJobs::CallingOut::CallingOut(RunningJobs& jobs, int& writing) : jobs_(jobs), writing_(writing) {
    {
        std::lock_guard g(jobs_.lock_);
        if (writing_++ == 0) ++jobs_.callingOut_;
    }
    jobs_.groupEmpty_.notify_all();
}

RunningJobs::CallingOut::~CallingOut() {
    std::lock_guard g(jobs_.lock_);
    if (--writing_ == 0) --jobs_.callingOut_;
}

bool RunningJobs::waitUntil(std::chrono::steady_clock::time_point deadline, bool exceptCallingOut) {
    std::unique_lock g(lock_);
    return groupEmpty_.wait_until(g, deadline, [this, exceptCallingOut] {
        return group_ == (exceptCallingOut ? callingOut_ : 0);
    });
}

size_t RunningJobs::registeredCount() {
    std::lock_guard g(lock_);
    size_t count = 0;
    for (const auto& [id, numbered] : tasks_) count += numbered.size();
    return count;
}

size_t RunningJobs::finishedCount() {
    std::lock_guard g(lock_);
    return finished_.size();
}

EngineSession::EngineSession(Engine engine, BackgroundGate& gate, Wire::Sink sink)
    : EngineSession(std::move(engine), gate, std::move(sink), BlockingExecutor::shared()) {}

EngineSession::EngineSession(Engine engine, BackgroundGate& gate, Wire::Sink sink, BlockingExecutor& executor)
    : engine_(std::move(engine)), wire_(std::move(sink)), gate_(gate), executor_(executor) {}

bool EngineSession::somebodyWaits(const RPC::Request& request) {
    if (request.method == "models.install") return false;
    if (const auto* priority = request.params.member("priority")) {
        if (const auto* text = priority->stringPtr(); text && *text == RPC::backgroundPriority) return false;
    }
    return true;
}

void EngineSession::receive(std::string_view line) {
    if (line.empty()) return;
    auto incoming = RPC::decode(line);
    if (auto* request = incoming.request()) {
        if (const Job* job = engine_.job(request->method)) {
            start(*job, std::move(*request));
            return;
        }
        wire_.write(RPC::encode(engine_.handle(*request)));
        return;
    }
    if (const auto* malformed = incoming.malformed()) {
        wire_.write(RPC::encode(RPC::Response::failure(std::nullopt, RPC::parseError, malformed->message)));
        return;
    }
    const auto* notification = incoming.notification();
    if (notification->method == "$/cancel") {
        if (const auto* id = notification->params.member("id"); id && id->intValue()) jobs_.cancel(*id->intValue());
    }
}

void EngineSession::start(const Job& job, const RPC::Request& request) { start(job, RPC::Request(request)); }

void EngineSession::start(const Job& job, RPC::Request&& request) {
    const bool foreground = somebodyWaits(request);
    if (foreground) gate_.began();
    jobs_.enter();
    auto task = std::make_shared<std::stop_source>();
    const int64_t id = request.id;
    const uint64_t number = jobs_.nextNumber();
    try {
        executor_.enqueue(
        foreground ? TaskPriority::userInitiated : TaskPriority::background,
        [this, job = Job(job), params = std::move(request.params), id, number, task, foreground, writing = 0]() mutable {
            RPC::Response response;
            {
                Task::Scope scope(task->get_token());
                JobContext context([this, id, &writing](const EngineProgress& progress) {
                    try {
                        RunningJobs::CallingOut out(jobs_, writing);
                        wire_.write(RPC::encode(progress, id));
                    } catch (...) {
                        // a progress line that can't be written is dropped
                    }
                });
                try {
                    // A job that returned has done its work (its output may be in
                    // place): it answers its result, however late a cancel came.
                    response = RPC::Response::success(id, job(params, context));
                } catch (...) {
                    response = RPC::response(id, std::current_exception());
                }
            }
            // Release what the job holds while the session still counts it as
            // running: once it is not, the engine may be torn down.
            job = nullptr;
            params = JSONValue();
            {
                RunningJobs::CallingOut out(jobs_, writing);
                wire_.sendIgnoringClosedPipe(response);
            }
            if (foreground) gate_.ended();
            jobs_.finish(id, number);
            jobs_.leave();
        });
    } catch (...) {
        // No thread could take the job (the system refused one): it is
        // answered here, and the counts it entered are left again.
        wire_.sendIgnoringClosedPipe(RPC::response(id, std::current_exception()));
        if (foreground) gate_.ended();
        jobs_.leave();
        return;
    }
    jobs_.registerTask(id, number, std::move(task));
}

bool EngineSession::stop(std::chrono::milliseconds grace) {
    jobs_.cancelAll();
    // Inside the sink, jobs that write wait for this thread to leave it.
    if (jobs_.waitUntil(std::chrono::steady_clock::now() + grace, wire_.writingHere())) return true;
    Stderr::write("korvel-engine: jobs still running at shutdown\n");
    return false;
}

} // namespace korvel
