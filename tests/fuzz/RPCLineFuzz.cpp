// Feeds arbitrary bytes to the line decoder as one line from the editor. The
// JSON reader must agree with a second, independent reader (nlohmann's) on
// what is JSON and what value it holds, and what it reads must read back the
// same from its canonical text. Refusals are fine; crashes, hangs, leaks,
// disagreements and runaway allocations are not.
#include "Core/RPC.hpp"
#include "tests/support/JSONOracle.hpp"

#include <cstring>
#include <string_view>

using namespace korvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    auto incoming = RPC::decode(line);
    if (const auto* request = incoming.request()) (void)RPC::encode(RPC::Response::success(request->id, request->params));

    std::optional<JSONValue> ours;
    try {
        ours = JSONValue::parsing(line);
    } catch (const JSONParseError&) {
    }
    // nlohmann takes a NUL byte for the end of the text; ours reads on.
    if (std::memchr(data, 0, size) == nullptr) {
        auto reference = korvel::testing::JSONOracle::parse(line);
        if (ours.has_value() != reference.has_value()) __builtin_trap();
        if (ours && !korvel::testing::identical(*ours, *reference)) __builtin_trap();
    }
    if (ours) {
        if (!korvel::testing::identical(JSONValue::parsing(ours->canonical()), *ours)) __builtin_trap();
        const JSONValue* version = ours->member("jsonrpc");
        const JSONValue* method = ours->member("method");
        const JSONValue* id = ours->member("id");
        const bool wellFormed = version && version->stringPtr() && *version->stringPtr() == "2.0" && method &&
                                method->isString() && ours->member("params") && (!id || id->isInteger());
        // A well-formed message is never malformed, and the reverse.
        if ((incoming.malformed() != nullptr) == wellFormed) __builtin_trap();
    } else if (!incoming.malformed()) {
        __builtin_trap();
    }
    return 0;
}
