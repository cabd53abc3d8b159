#include "Core/RPC.hpp"

#include <gtest/gtest.h>

using namespace korvel;

TEST(RPCDecode, MalformedLinesGetTheirReason) {
    struct Case {
        const char* line;
        const char* reason;
    };
    const Case cases[] = {
        {"{", "Not valid JSON"},
        {"[]", "Not a JSON-RPC 2.0 message"},
        {"5", "Not a JSON-RPC 2.0 message"},
        {R"({"jsonrpc":2,"method":"x","params":{}})", "Not a JSON-RPC 2.0 message"},
        {R"({"jsonrpc":"2.0","id":1,"method":"x"})", "A request needs an integer id, a method and params"},
        {R"({"jsonrpc":"2.0","id":"1","method":"x","params":{}})", "A request needs an integer id, a method and params"},
        {R"({"jsonrpc":"2.0","id":1.5,"method":"x","params":{}})", "A request needs an integer id, a method and params"},
        {R"({"jsonrpc":"2.0","id":null,"method":"x","params":{}})", "A request needs an integer id, a method and params"},
        {R"({"jsonrpc":"2.0","id":1,"result":{}})", "A request needs an integer id, a method and params"},
        {R"({"jsonrpc":"2.0","method":"$/cancel"})", "A notification needs a method and params"},
        {R"({"jsonrpc":"2.0","method":5,"params":{}})", "A notification needs a method and params"},
    };
    for (const auto& c : cases) {
        auto incoming = RPC::decode(c.line);
        ASSERT_TRUE(incoming.malformed()) << c.line;
        EXPECT_EQ(incoming.malformed()->message, c.reason) << c.line;
    }
}

TEST(RPCDecode, RequestsAndNotifications) {
    auto r = RPC::decode(R"({"jsonrpc":"2.0","id":5.0,"method":"x","params":null,"extra":1})");
    ASSERT_TRUE(r.request());
    EXPECT_EQ(r.request()->id, 5);
    EXPECT_EQ(r.request()->method, "x");
    EXPECT_TRUE(r.request()->params.isNull());

    auto n = RPC::decode(R"({"jsonrpc":"2.0","method":"$/cancel","params":{"id":7}})");
    ASSERT_TRUE(n.notification());
    EXPECT_EQ(n.notification()->method, "$/cancel");
}

TEST(RPCEncode, WireShapes) {
    EXPECT_EQ(RPC::encode(RPC::Response::success(7, JSONValue("a/b"))), R"({"id":7,"jsonrpc":"2.0","result":"a/b"})");
    EXPECT_EQ(RPC::encode(RPC::Response::failure(7, -32601, "x")),
              R"({"error":{"code":-32601,"message":"x"},"id":7,"jsonrpc":"2.0"})");
    EXPECT_EQ(RPC::encode(RPC::Response::failure(std::nullopt, -32700, "Not valid JSON")),
              R"({"error":{"code":-32700,"message":"Not valid JSON"},"jsonrpc":"2.0"})");
}

TEST(RPCEncode, ProgressAlwaysCarriesTotal) {
    EngineProgress p{EngineProgress::Phase::render, EngineProgress::Unit::items, 420, 1000};
    EXPECT_EQ(RPC::encode(p, 7),
              R"({"jsonrpc":"2.0","method":"$/progress","params":{"done":420,"id":7,"phase":"render","total":1000,"unit":"items"}})");
    p.total.reset();
    p.phase = EngineProgress::Phase::export_;
    EXPECT_EQ(RPC::encode(p, 1),
              R"({"jsonrpc":"2.0","method":"$/progress","params":{"done":420,"id":1,"phase":"export","total":null,"unit":"items"}})");
}

TEST(RPCEncode, FailureKinds) {
    auto of = [](auto error) { return RPC::response(3, std::make_exception_ptr(error)); };
    EXPECT_EQ(of(Cancelled{}).error->code, -32800);
    EXPECT_EQ(of(Cancelled{}).error->message, "Cancelled.");
    EXPECT_EQ(of(EngineFailure::diskFull("Full.")).error->code, -32004);
    EXPECT_EQ(of(EngineFailure::diskFull("Full.")).error->message, "Full.");
    EXPECT_EQ(of(std::runtime_error("boom")).error->code, -32603);
    EXPECT_EQ(of(std::runtime_error("boom")).error->message, "boom");
}

TEST(LineSplitter, SplitsAndKeepsPending) {
    LineSplitter s;
    auto lines = s.append("a\n\nb");
    EXPECT_EQ(lines, std::vector<std::string>{"a"});
    EXPECT_EQ(s.pending(), "b");
    lines = s.append("c\n");
    EXPECT_EQ(lines, std::vector<std::string>{"bc"});
    EXPECT_EQ(s.pending(), "");
    EXPECT_EQ(s.append("x\r\ny\n"), (std::vector<std::string>{"x\r", "y"}));
}
