#include "Core/Engine.hpp"

namespace korvel {

const Job* Engine::job(std::string_view method) const {
    auto it = methods.find(method);
    return it == methods.end() ? nullptr : &it->second;
}

std::vector<std::string> Engine::capabilities() const {
    std::vector<std::string> names;
    names.reserve(methods.size());
    for (const auto& entry : methods) names.push_back(entry.first); // map order is code-point order
    return names;
}

RPC::Response Engine::handle(const RPC::Request& request) const {
    if (request.method != "engine.hello") {
        return RPC::Response::failure(request.id, RPC::methodNotFound, request.method + " is not built yet.");
    }
    const JSONValue* version = request.params.member("contractVersion");
    if (!version || !version->intValue()) {
        return RPC::Response::failure(request.id, RPC::invalidParams, "engine.hello needs contractVersion");
    }
    int64_t theirs = *version->intValue();
    if (theirs != RPC::contractVersion) {
        return RPC::Response::failure(request.id, RPC::invalidRequest,
                                      "Main speaks contract " + std::to_string(theirs) +
                                          ", this engine speaks " + std::to_string(RPC::contractVersion) + ".");
    }
    JSONValue::Array names;
    for (auto& name : capabilities()) names.emplace_back(std::move(name));
    JSONValue::Object result{
        {"contractVersion", JSONValue(RPC::contractVersion)},
        {"engineVersion", JSONValue(Engine::version)},
        {"renderRevision", JSONValue(renderRevision)},
        {"capabilities", JSONValue(std::move(names))},
    };
    return RPC::Response::success(request.id, JSONValue(std::move(result)));
}

std::string Engine::renderId(int64_t revision) { return std::string(version) + ".r" + std::to_string(revision); }

} // namespace korvel
