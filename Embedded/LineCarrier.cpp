#include "Embedded/LineCarrier.hpp"

#include "Adapters/Concurrency/BackgroundGate.hpp"
#include "Adapters/Live/LivePreviewService.hpp"
#include "Adapters/Server/Stderr.hpp"

namespace korvel {

namespace {

// The listener calls this thread is inside, innermost first: a swap from
// inside a listener must not wait for its own call.
struct Hearing {
    const LineCarrier* carrier;
    uint64_t generation;
    const Hearing* outer;
};
thread_local const Hearing* hearing = nullptr;

std::optional<uint64_t> ownCall(const LineCarrier* carrier) {
    for (const Hearing* h = hearing; h; h = h->outer)
        if (h->carrier == carrier) return h->generation;
    return std::nullopt;
}

// The host's callback failing is the host's fault: said, and the line goes on.
template <class Call> void guarded(const char* what, Call&& call) {
    try {
        call();
    } catch (const std::exception& ex) {
        Stderr::write(std::string("korvel-engine: ") + what + " threw: " + ex.what() + "\n");
    } catch (...) {
        Stderr::write(std::string("korvel-engine: ") + what + " threw: unknown error\n");
    }
}

} // namespace

struct LineCarrier::Pending {
    Progress progress;
    std::promise<JSONValue> promise;
    bool delivered = false;       // its line reached the session
    bool cancelRequested = false; // its stop token fired
    bool answered = false;
    std::unique_ptr<std::stop_callback<std::function<void()>>> onStop;
};

std::shared_ptr<LineCarrier> LineCarrier::make(Engine engine) {
    std::shared_ptr<LineCarrier> carrier(new LineCarrier());
    std::weak_ptr<LineCarrier> weak = carrier;
    carrier->session_ = std::make_unique<EngineSession>(std::move(engine), BackgroundGate::shared(),
                                                        [weak](const std::string& line) {
                                                            if (auto c = weak.lock()) c->arrived(line);
                                                        });
    return carrier;
}

LineCarrier::~LineCarrier() = default;

std::string LineCarrier::requestLine(int64_t id, std::string_view method, const JSONValue& params) {
    JSONValue::Object request;
    request["jsonrpc"] = "2.0";
    request["id"] = id;
    request["method"] = std::string(method);
    request["params"] = params;
    return JSONValue(std::move(request)).canonical();
}

std::future<JSONValue> LineCarrier::call(std::string_view method, const JSONValue& params, Progress progress,
                                         std::stop_token stop) {
    int64_t id;
    {
        std::lock_guard g(lock_);
        id = ++lastId_;
    }
    std::string line = requestLine(id, method, params); // throws before anything is waiting

    auto pending = std::make_shared<Pending>();
    pending->progress = std::move(progress);
    auto answer = pending->promise.get_future();
    if (stop.stop_possible()) {
        // A token that already fired runs this at once; the cancel then waits
        // until the line has reached the session, so the job it names exists.
        pending->onStop = std::make_unique<std::stop_callback<std::function<void()>>>(
            stop, std::function<void()>([this, raw = pending.get(), id] {
                {
                    std::lock_guard g(lock_);
                    if (raw->answered) return;
                    raw->cancelRequested = true;
                    if (!raw->delivered) return;
                }
                cancel(id);
            }));
    }
    {
        std::lock_guard g(lock_);
        pending_[id] = pending;
    }
    try {
        session_->receive(line);
    } catch (...) {
        std::lock_guard g(lock_);
        pending_.erase(id);
        pending->answered = true;
        throw;
    }
    bool cancelNow;
    {
        std::lock_guard g(lock_);
        pending->delivered = true;
        cancelNow = pending->cancelRequested && !pending->answered;
    }
    if (cancelNow) cancel(id);
    return answer;
}

void LineCarrier::send(std::string_view line) { session_->receive(line); }

void LineCarrier::onLine(RawLine listener) {
    const std::optional<uint64_t> own = ownCall(this);
    std::unique_lock g(lock_);
    std::swap(rawLine_, listener);
    const uint64_t replaced = listenerGeneration_++;
    listenerReturned_.wait(g, [&] {
        for (const auto& [generation, calls] : listening_)
            if (generation <= replaced && calls > (own == generation ? 1 : 0)) return false;
        return true;
    });
    g.unlock();
    listener = nullptr; // the old one, released outside the lock
}

void LineCarrier::hear(const RawLine& listener, uint64_t generation, const std::string& line) {
    Hearing here{this, generation, hearing};
    hearing = &here;
    guarded("a line listener", [&] { listener(line); });
    hearing = here.outer;
}

bool LineCarrier::stop() { return session_->stop(shutdownGrace); }

void LineCarrier::close() {
    if (!session_) return;
    bool ended = session_->stop(shutdownGrace);
    std::map<int64_t, std::shared_ptr<Pending>> left;
    {
        std::lock_guard g(lock_);
        left.swap(pending_);
        for (auto& [id, p] : left) p->answered = true;
    }
    for (auto& [id, p] : left)
        p->promise.set_exception(std::make_exception_ptr(InProcessEngine::Failure(-32800, "Cancelled.")));
    left.clear();
    // Jobs that outlived the grace still use the session: it is left to them,
    // as it is to a callback that closes the engine it runs in.
    if (!ended || session_->insideSink()) (void)session_.release();
    else session_.reset();
}

void LineCarrier::arrived(const std::string& line) {
    RawLine listener;
    uint64_t generation = 0;
    {
        std::lock_guard g(lock_);
        listener = rawLine_;
        generation = listenerGeneration_;
        if (listener) ++listening_[generation];
    }
    if (listener) {
        hear(listener, generation, line);
        listener = nullptr;
        {
            std::lock_guard g(lock_);
            if (--listening_[generation] == 0) listening_.erase(generation);
        }
        listenerReturned_.notify_all();
    }

    JSONValue value;
    try {
        value = JSONValue::parsing(line);
    } catch (...) {
        return;
    }
    if (const auto* method = value.member("method")) {
        if (const auto* name = method->stringPtr(); name && *name == "$/progress") {
            deliverProgress(value.member("params"));
            return;
        }
    }
    const auto* idValue = value.member("id");
    if (!idValue || !idValue->isInteger()) return;
    std::shared_ptr<Pending> pending;
    {
        std::lock_guard g(lock_);
        auto it = pending_.find(*idValue->intValue());
        if (it == pending_.end()) return;
        pending = std::move(it->second);
        pending_.erase(it);
        pending->answered = true;
    }
    if (const auto* result = value.member("result")) {
        pending->promise.set_value(*result);
        return;
    }
    int64_t code = -32603;
    std::string message = "No message.";
    if (const auto* error = value.member("error")) {
        if (const auto* c = error->member("code"); c && c->isInteger()) code = *c->intValue();
        if (const auto* m = error->member("message"); m && m->isString()) message = *m->stringPtr();
    }
    pending->promise.set_exception(std::make_exception_ptr(InProcessEngine::Failure(code, std::move(message))));
}

void LineCarrier::deliverProgress(const JSONValue* params) {
    if (!params) return;
    const auto* id = params->member("id");
    if (!id || !id->isInteger()) return;
    Progress callback;
    {
        std::lock_guard g(lock_);
        auto it = pending_.find(*id->intValue());
        if (it == pending_.end() || !it->second->progress) return;
        callback = it->second->progress;
    }
    const auto* phase = params->member("phase");
    const auto* unit = params->member("unit");
    const auto* done = params->member("done");
    if (!phase || !phase->isString() || !unit || !unit->isString() || !done || !done->isInteger()) return;
    auto p = EngineProgress::phaseNamed(*phase->stringPtr());
    auto u = EngineProgress::unitNamed(*unit->stringPtr());
    if (!p || !u) return;
    EngineProgress progress{*p, *u, *done->intValue(), std::nullopt};
    if (const auto* total = params->member("total"); total && total->isInteger()) progress.total = *total->intValue();
    guarded("a progress callback", [&] { callback(progress); });
}

void LineCarrier::cancel(int64_t id) {
    try {
        JSONValue::Object params;
        params["id"] = id;
        JSONValue::Object note;
        note["jsonrpc"] = "2.0";
        note["method"] = "$/cancel";
        note["params"] = JSONValue(std::move(params));
        session_->receive(JSONValue(std::move(note)).canonical());
    } catch (...) {
        // nothing to cancel any more
    }
}

} // namespace korvel
