#include "Core/RPC.hpp"

namespace korvel {
namespace RPC {

Response Response::success(int64_t id, JSONValue result) {
    return Response{"2.0", id, std::move(result), std::nullopt};
}

Response Response::failure(std::optional<int64_t> id, int64_t code, std::string message) {
    return Response{"2.0", id, std::nullopt, ErrorBody{code, std::move(message), std::nullopt}};
}

JSONValue Response::encoded() const {
    JSONValue::Object object{{"jsonrpc", JSONValue(jsonrpc)}};
    if (id) object.emplace("id", JSONValue(*id));
    if (result) object.emplace("result", *result);
    if (error) {
        JSONValue::Object body{{"code", JSONValue(error->code)}, {"message", JSONValue(error->message)}};
        if (error->data) body.emplace("data", *error->data);
        object.emplace("error", JSONValue(std::move(body)));
    }
    return JSONValue(std::move(object));
}

Incoming decode(std::string_view line) {
    JSONValue value;
    try {
        value = JSONValue::parsing(line);
    } catch (const JSONParseError&) {
        return Malformed{"Not valid JSON"};
    }
    const JSONValue* version = value.member("jsonrpc");
    if (!version || !version->stringPtr() || *version->stringPtr() != "2.0") {
        return Malformed{"Not a JSON-RPC 2.0 message"};
    }
    const JSONValue* method = value.member("method");
    // The params move out of the parsed line: a large plan is never copied.
    JSONValue* params = nullptr;
    if (auto* object = value.objectPtr()) {
        if (auto it = object->find("params"); it != object->end()) params = &it->second;
    }
    if (const JSONValue* id = value.member("id")) {
        if (!id->intValue() || !method || !method->isString() || !params) {
            return Malformed{"A request needs an integer id, a method and params"};
        }
        return Request{"2.0", *id->intValue(), *method->stringPtr(), std::move(*params)};
    }
    if (!method || !method->isString() || !params) {
        return Malformed{"A notification needs a method and params"};
    }
    return Notification{"2.0", *method->stringPtr(), std::move(*params)};
}

std::string encode(const Response& response) { return response.encoded().canonical(); }

std::string encode(const EngineProgress& progress, int64_t id) {
    JSONValue::Object params{
        {"id", JSONValue(id)},
        {"phase", JSONValue(EngineProgress::name(progress.phase))},
        {"unit", JSONValue(EngineProgress::name(progress.unit))},
        {"done", JSONValue(progress.done)},
        {"total", progress.total ? JSONValue(*progress.total) : JSONValue()},
    };
    JSONValue::Object message{
        {"jsonrpc", JSONValue("2.0")},
        {"method", JSONValue("$/progress")},
        {"params", JSONValue(std::move(params))},
    };
    return JSONValue(std::move(message)).canonical();
}

Response response(int64_t id, const std::exception_ptr& thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const Cancelled&) {
        return Response::failure(id, cancelled, "Cancelled.");
    } catch (const EngineFailure& failure) {
        return Response::failure(id, failure.code, failure.message);
    } catch (const std::exception& ex) {
        return Response::failure(id, internalError, ex.what());
    } catch (...) {
        return Response::failure(id, internalError, "unknown error");
    }
}

} // namespace RPC

std::vector<std::string> LineSplitter::append(std::string_view chunk) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= chunk.size()) {
        size_t newline = chunk.find('\n', start);
        if (newline == std::string_view::npos) {
            pending_.append(chunk.substr(start));
            break;
        }
        pending_.append(chunk.substr(start, newline - start));
        if (!pending_.empty()) {
            lines.push_back(std::move(pending_));
            pending_.clear();
        }
        start = newline + 1;
    }
    return lines;
}

} // namespace korvel
