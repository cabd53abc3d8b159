#include "Core/Engine.hpp"
#include "Core/Jobs.hpp"

#include <gtest/gtest.h>

using namespace korvel;

namespace {
struct Capture {
    std::vector<EngineProgress> reports;
    JobContext context() {
        return JobContext([this](const EngineProgress& p) { reports.push_back(p); });
    }
};
EngineProgress of(int64_t done, std::optional<int64_t> total) {
    return {EngineProgress::Phase::analyze, EngineProgress::Unit::frames, done, total};
}
} // namespace

TEST(JobContextPart, MapsChildReportsToPerMille) {
    struct Case {
        double from, to;
        int64_t done;
        std::optional<int64_t> total;
        std::optional<int64_t> expected;
    };
    const Case cases[] = {
        {0.25, 0.75, 5, 10, 500}, {0.25, 0.75, 12, 10, 750}, {0.25, 0.75, -3, 10, 250},
        {0.25, 0.75, 5, std::nullopt, std::nullopt}, {0.25, 0.75, 5, 0, std::nullopt},
    };
    for (const auto& c : cases) {
        Capture parent;
        parent.context().part(c.from, c.to).report(of(c.done, c.total));
        if (!c.expected) {
            EXPECT_TRUE(parent.reports.empty());
            continue;
        }
        ASSERT_EQ(parent.reports.size(), 1u);
        EXPECT_EQ(parent.reports[0],
                  (EngineProgress{EngineProgress::Phase::analyze, EngineProgress::Unit::items, *c.expected, 1000}));
    }
}

TEST(JobContextPart, NestedPartsCompose) {
    Capture parent;
    auto ctx = parent.context();
    auto a = ctx.part(0.5, 1.0);
    auto b = a.part(0.0, 0.5);
    b.report(of(5, 10));
    ASSERT_EQ(parent.reports.size(), 1u);
    EXPECT_EQ(parent.reports[0].done, 625);
}

TEST(JobContext, SilentNeverWaits) {
    EXPECT_FALSE(JobContext::silent().mustGiveWay());
    JobContext::silent().giveWay();
    JobContext::silent().report(of(1, 2));
}

TEST(EngineHandshake, Answers) {
    Engine engine;
    engine.methods["b.x"] = [](const JSONValue&, const JobContext&) { return JSONValue(); };
    engine.methods["a.y"] = [](const JSONValue&, const JobContext&) { return JSONValue(); };
    auto hello = [&](const char* params) {
        return RPC::encode(engine.handle({"2.0", 3, "engine.hello", JSONValue::parsing(params)}));
    };
    EXPECT_EQ(hello(R"({"contractVersion":9})"),
              R"({"id":3,"jsonrpc":"2.0","result":{"capabilities":["a.y","b.x"],"contractVersion":9,"engineVersion":"0.1.0","renderRevision":1}})");
    EXPECT_EQ(hello(R"({"contractVersion":9.0})"), hello(R"({"contractVersion":9})"));
    for (const char* bad : {R"({"contractVersion":"9"})", "{}", "null", R"({"contractVersion":true})"}) {
        EXPECT_EQ(hello(bad), R"({"error":{"code":-32602,"message":"engine.hello needs contractVersion"},"id":3,"jsonrpc":"2.0"})");
    }
    EXPECT_EQ(hello(R"({"contractVersion":10})"),
              R"({"error":{"code":-32600,"message":"Main speaks contract 10, this engine speaks 9."},"id":3,"jsonrpc":"2.0"})");
}

TEST(EngineHandshake, EmptyTableAndUnknownMethod) {
    Engine engine;
    auto r = engine.handle({"2.0", 1, "engine.hello", JSONValue::parsing(R"({"contractVersion":9})")});
    EXPECT_EQ(*r.result->member("capabilities"), JSONValue(JSONValue::Array{}));
    auto unknown = engine.handle({"2.0", 2, "render.nope", JSONValue()});
    EXPECT_EQ(unknown.error->code, -32601);
    EXPECT_EQ(unknown.error->message, "render.nope is not built yet.");
    EXPECT_EQ(Engine::renderId(1), "0.1.0.r1");
}
