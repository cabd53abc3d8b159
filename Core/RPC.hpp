#pragma once

#include "Core/JSONValue.hpp"
#include "Core/Jobs.hpp"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvel {

namespace RPC {

enum ErrorCode : int {
    parseError = -32700,
    invalidRequest = -32600,
    methodNotFound = -32601,
    invalidParams = -32602,
    internalError = -32603,
    cancelled = -32800,
    sourceUnavailable = -32001,
    unsupportedFormat = -32002,
    writeFailed = -32003,
    diskFull = -32004,
    languageNotHeard = -32005,
};

inline constexpr int64_t contractVersion = 9;
inline constexpr std::string_view backgroundPriority = "background";

struct Request {
    std::string jsonrpc;
    int64_t id = 0;
    std::string method;
    JSONValue params;
    bool operator==(const Request&) const = default;
};

struct Notification {
    std::string jsonrpc;
    std::string method;
    JSONValue params;
    bool operator==(const Notification&) const = default;
};

struct ErrorBody {
    int64_t code = 0;
    std::string message;
    std::optional<JSONValue> data;
    bool operator==(const ErrorBody&) const = default;
};

struct Response {
    std::string jsonrpc;
    std::optional<int64_t> id;
    std::optional<JSONValue> result;
    std::optional<ErrorBody> error;
    bool operator==(const Response&) const = default;

    static Response success(int64_t id, JSONValue result);
    static Response failure(std::optional<int64_t> id, int64_t code, std::string message);

    JSONValue encoded() const;
};

struct Malformed {
    std::string message;
    bool operator==(const Malformed&) const = default;
};

class Incoming {
public:
    Incoming(Request r) : value_(std::move(r)) {}
    Incoming(Notification n) : value_(std::move(n)) {}
    Incoming(Malformed m) : value_(std::move(m)) {}

    const Request* request() const { return std::get_if<Request>(&value_); }
    // The request to take the params from without copying them.
    Request* request() { return std::get_if<Request>(&value_); }
    const Notification* notification() const { return std::get_if<Notification>(&value_); }
    const Malformed* malformed() const { return std::get_if<Malformed>(&value_); }

private:
    std::variant<Request, Notification, Malformed> value_;
};

Incoming decode(std::string_view line);

// Canonical bytes of a response, without the newline. Throws
// JSONEncodingError for a result that JSON cannot hold.
std::string encode(const Response& response);
std::string encode(const EngineProgress& progress, int64_t id);

// The answer for a job that failed with the given error.
Response response(int64_t id, const std::exception_ptr& thrown);

} // namespace RPC

class LineSplitter {
public:
    std::vector<std::string> append(std::string_view chunk);
    const std::string& pending() const { return pending_; }

private:
    std::string pending_;
};

} // namespace korvel
