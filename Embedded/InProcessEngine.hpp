#pragma once

#include "Adapters/Live/LiveVideo.hpp"
#include "Core/JSONValue.hpp"
#include "Core/Jobs.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace korvel {

struct Engine;
struct LiveComposition;
class LineCarrier;
template <class Value> class OnceShelf;

// The engine inside the host's own process: the same methods and lines as
// over standard input and output, plus the live videos of render.live. The
// host starts with OMP_WAIT_POLICY=PASSIVE, as the process does for itself.
class InProcessEngine {
public:
    struct Failure : std::exception {
        int64_t code = -32603;
        std::string message = "No message.";

        Failure(int64_t code, std::string message) : code(code), message(std::move(message)) {}
        const char* what() const noexcept override { return message.c_str(); }
        bool operator==(const Failure& o) const { return code == o.code && message == o.message; }
    };
    using Progress = std::function<void(const EngineProgress&)>;
    using RawLine = std::function<void(std::string_view line)>;
    using Shelf = OnceShelf<LiveComposition>;

    explicit InProcessEngine(Engine engine);
    InProcessEngine(Engine engine, std::shared_ptr<Shelf> videos);
    // Stops the session and fails every call still waiting with -32800.
    ~InProcessEngine();
    InProcessEngine(const InProcessEngine&) = delete;
    InProcessEngine& operator=(const InProcessEngine&) = delete;

    // Blocks until the answer. Throws Failure, or the encoder's error. A
    // stop request on the token cancels the job as "$/cancel" does. Don't
    // block in a line or progress callback: answers come on that thread. A
    // callback that throws is said on stderr; the answer still arrives.
    JSONValue call(std::string_view method, const JSONValue& params = JSONValue::Object{}, Progress progress = {},
                   std::stop_token stop = {});
    std::future<JSONValue> callAsync(std::string_view method, const JSONValue& params = JSONValue::Object{},
                                     Progress progress = {}, std::stop_token stop = {});
    // One complete line, handed to the session as it is.
    void send(std::string_view line);
    // Every line the session writes reaches the listener, before any routing.
    // Returns once no call of the listener it replaces is running (a swap
    // from inside that listener returns at once: the running call is the
    // caller's). Don't swap holding a lock the old listener takes.
    void onLine(RawLine listener);
    // Cancels every running job and waits up to 5 s for them; true when they
    // ended. Called from a line or progress callback, it cancels the same but
    // cannot wait for the job whose thread runs the callback, nor for jobs
    // waiting to write a line behind it: it waits for the others only. Never
    // destroy the engine from its own callback.
    bool stop();
    // Takes a live composition off the shelf, once.
    std::optional<LiveVideo> liveVideo(std::string_view name);

    // For the engine's own tests; a host of the library has no use for them.
    LineCarrier& session() { return *session_; }
    const std::shared_ptr<Shelf>& videos() const { return videos_; }

private:
    std::shared_ptr<LineCarrier> session_;
    std::shared_ptr<Shelf> videos_;
};

} // namespace korvel
