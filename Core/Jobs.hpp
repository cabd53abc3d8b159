#pragma once

#include "Core/JSONValue.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace korvel {

struct EngineProgress {
    enum class Phase { analyze, edit, render, export_ };
    enum class Unit { microseconds, frames, items, bytes };

    Phase phase = Phase::render;
    Unit unit = Unit::items;
    int64_t done = 0;
    std::optional<int64_t> total;

    bool operator==(const EngineProgress&) const = default;

    static std::string_view name(Phase);
    static std::string_view name(Unit);
    static std::optional<Phase> phaseNamed(std::string_view);
    static std::optional<Unit> unitNamed(std::string_view);
};

// The one error whose code and sentence reach the client unchanged.
struct EngineFailure : std::exception {
    int code = 0;
    std::string message;

    EngineFailure(int code, std::string message) : code(code), message(std::move(message)) {}
    const char* what() const noexcept override { return message.c_str(); }
    bool operator==(const EngineFailure& o) const { return code == o.code && message == o.message; }

    static EngineFailure invalidParams(std::string m) { return {-32602, std::move(m)}; }
    static EngineFailure sourceUnavailable(std::string m) { return {-32001, std::move(m)}; }
    static EngineFailure unsupportedFormat(std::string m) { return {-32002, std::move(m)}; }
    static EngineFailure writeFailed(std::string m) { return {-32003, std::move(m)}; }
    static EngineFailure diskFull(std::string m) { return {-32004, std::move(m)}; }
    static EngineFailure languageNotHeard(std::string m) { return {-32005, std::move(m)}; }
    static EngineFailure internalError(std::string m) { return {-32603, std::move(m)}; }
};

// The task-cancellation error.
struct Cancelled : std::exception {
    const char* what() const noexcept override { return "Cancelled."; }
};

// The running task's cancellation, as seen from the thread that runs it.
// A job's thread carries its request's stop token; work handed to other
// threads installs the same token there with a Scope.
namespace Task {
class Scope {
public:
    explicit Scope(std::stop_token token);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    std::stop_token previous_;
};

std::stop_token currentToken();
bool isCancelled();
// Throws Cancelled when the current task is cancelled.
void checkCancellation();
} // namespace Task

class JobContext {
public:
    using Reporter = std::function<void(const EngineProgress&)>;
    using Waiter = std::function<void()>;
    using Asked = std::function<bool()>;

    explicit JobContext(Reporter report, Waiter giveWay = {}, Asked mustGiveWay = {});

    void report(const EngineProgress& progress) const;
    void giveWay() const;
    bool mustGiveWay() const;
    // A child covering [from, to] of this job's work; reports arrive in per mille.
    JobContext part(double from, double to) const;

    static const JobContext& silent();

    Reporter reporter;
    Waiter waiter;
    Asked asked;
};

using Job = std::function<JSONValue(const JSONValue& params, const JobContext& context)>;

} // namespace korvel
