#pragma once

#include "Adapters/Server/EngineSession.hpp"
#include "Core/Engine.hpp"
#include "Core/JSONValue.hpp"
#include "Embedded/InProcessEngine.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>

namespace korvel {

// Speaks the engine's own request lines to a session in memory and routes
// every line the session writes back to the call that waits for it.
class LineCarrier : public std::enable_shared_from_this<LineCarrier> {
public:
    using Progress = InProcessEngine::Progress;
    using RawLine = InProcessEngine::RawLine;

    static constexpr std::chrono::seconds shutdownGrace{5};

    static std::shared_ptr<LineCarrier> make(Engine engine);
    ~LineCarrier();

    // The answer's result, or a failed future (InProcessEngine::Failure, or
    // the encoder's error when the params can't be written).
    std::future<JSONValue> call(std::string_view method, const JSONValue& params, Progress progress,
                                std::stop_token stop);
    void send(std::string_view line);
    // Returns once no call of the listener it replaces is running, except
    // the caller's own when it swaps from inside that listener.
    void onLine(RawLine listener);
    // Cancels every running job and waits up to the grace; the session stays
    // usable. From inside a callback it waits only for jobs whose threads are
    // not writing a line (one of those runs the caller).
    bool stop();
    // Stops, then fails every call still waiting with the cancellation answer.
    void close();

    // {"id":…,"jsonrpc":"2.0","method":…,"params":…}; throws for a non-finite number.
    static std::string requestLine(int64_t id, std::string_view method, const JSONValue& params);

    void arrived(const std::string& line);
    void deliverProgress(const JSONValue* params);
    void cancel(int64_t id);

    EngineSession& session() { return *session_; }

private:
    struct Pending;
    LineCarrier() = default;

    void hear(const RawLine& listener, uint64_t generation, const std::string& line);

    std::mutex lock_;
    std::map<int64_t, std::shared_ptr<Pending>> pending_;
    int64_t lastId_ = 0;
    RawLine rawLine_;
    uint64_t listenerGeneration_ = 0;        // counts the swaps
    std::map<uint64_t, int> listening_;      // generation → its calls running
    std::condition_variable listenerReturned_;
    std::unique_ptr<EngineSession> session_;
};

} // namespace korvel
