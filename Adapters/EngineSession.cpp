#include "Adapters/EngineSession.hpp"

#include "Adapters/BlockingExecutor.hpp"
#include "Adapters/Stderr.hpp"

namespace korvel {

void Wire::write(std::string bytes) {
    bytes.push_back('\n');
    std::lock_guard g(lock_);
    sink_(bytes);
}

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

bool RunningJobs::waitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock g(lock_);
    return groupEmpty_.wait_until(g, deadline, [this] { return group_ == 0; });
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
        [this, job = Job(job), params = std::move(request.params), id, number, task, foreground]() mutable {
            RPC::Response response;
            {
                Task::Scope scope(task->get_token());
                JobContext context([this, id](const EngineProgress& progress) {
                    try {
                        wire_.write(RPC::encode(progress, id));
                    } catch (...) {
                        // a progress line that can't be written is dropped
                    }
                });
                try {
                    JSONValue result = job(params, context);
                    response = task->stop_requested() ? RPC::response(id, std::make_exception_ptr(Cancelled{}))
                                                      : RPC::Response::success(id, std::move(result));
                } catch (...) {
                    response = RPC::response(id, std::current_exception());
                }
            }
            // Release what the job holds while the session still counts it as
            // running: once it is not, the engine may be torn down.
            job = nullptr;
            params = JSONValue();
            wire_.sendIgnoringClosedPipe(response);
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
    if (jobs_.waitUntil(std::chrono::steady_clock::now() + grace)) return true;
    Stderr::write("korvel-engine: jobs still running at shutdown\n");
    return false;
}

} // namespace korvel
