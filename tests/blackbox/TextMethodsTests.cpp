// render.measureText and render.textLayout as the editor sees them: JSON-RPC
// lines to the real engine, answers compared as written.

#include "EngineProcess.hpp"

#include "Core/Text/Utf8.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>

using namespace korvel;
using korvel::testing::EngineProcess;

namespace {

// A 1080 x 1920 canvas (unit 10.8 px) holding the given text items.
std::string plan(const std::string& items) {
    return R"({"version":1,"canvas":{"format":"vertical","width":1080,"height":1920,"fps":{"num":30,"den":1}},)"
           R"("segments":[],"videoOverlays":[],"textItems":[)" +
           items + R"(],"colorStack":[],"background":null,"audioMix":{"tracks":[],"targetLufs":-14,"truePeakDb":-1},)"
           R"("timeMap":{"entries":[]},"durationUs":3000000})";
}

std::string item(const std::string& id, const std::string& text, const std::string& style = "",
                 const std::string& box = R"({"x":0.1,"y":0.7,"w":0.8,"h":0.2})") {
    const std::string s = style.empty() ? R"("font":"inter","weight":700,"italic":false,"sizePct":6)" : style;
    return R"({"id":")" + id + R"(","role":"caption","outStartUs":0,"outEndUs":1000000,"lines":[{"runs":[{"text":")" +
           text + R"(","outStartUs":0,"outEndUs":1000000,"keyword":false}]}],"box":)" + box + R"(,"style":{)" + s +
           R"(,"lineHeight":1.2,"letterSpacingEm":0,"color":"#ffffff","shadow":null},"activeWordHighlight":false})";
}

JSONValue ask(EngineProcess& engine, int64_t id, const std::string& method, const std::string& params,
              bool wantResult = true) {
    engine.sendLine(EngineProcess::request(id, method, params));
    auto answer = engine.responseFor(id);
    EXPECT_TRUE(answer);
    if (wantResult && answer && !answer->member("result")) ADD_FAILURE() << answer->canonical();
    return answer ? *answer : JSONValue();
}

double num(const JSONValue* v) {
    if (!v) return std::nan("");
    if (auto i = v->intValue()) return static_cast<double>(*i);
    return v->doubleValue().value_or(std::nan(""));
}

std::string errorOf(const JSONValue& answer) {
    const auto* error = answer.member("error");
    if (!error) return "no error";
    return std::to_string(*error->member("code")->intValue()) + " " + *error->member("message")->stringValue();
}

} // namespace

TEST(TextMethods, AreListedInTheHandshake) {
    EngineProcess engine({"--cache-dir", korvel::testing::freshFolder("text-hello")});
    const JSONValue hello = ask(engine, 1, "engine.hello", R"({"contractVersion":9})");
    std::vector<std::string> names;
    for (const auto& c : *hello.member("result")->member("capabilities")->arrayPtr()) names.push_back(*c.stringValue());
    EXPECT_EQ(std::count(names.begin(), names.end(), "render.measureText"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "render.textLayout"), 1);
}

TEST(TextMethods, MeasureAnswersEveryItemInPlanOrder) {
    EngineProcess engine({"--cache-dir", korvel::testing::freshFolder("text-measure")});
    const std::string items = item("fits", "Short caption") + "," +
                              item("snow", "cold \xF3\xB0\x80\x81 day") + "," + // a code point no font draws
                              item("long", "A long caption that has to shrink to fit its small box at all",
                                   "", R"({"x":0.1,"y":0.7,"w":0.8,"h":0.06})") +
                              "," + item("huge", std::string(300, 'W'), "", R"({"x":0.4,"y":0.5,"w":0.2,"h":0.01})");
    const JSONValue answer = ask(engine, 2, "render.measureText", R"({"plan":)" + plan(items) + "}");
    const auto* list = answer.member("result")->member("items")->arrayPtr();
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 4u);
    // Fits at full size: issue written as null.
    EXPECT_EQ((*list)[0].canonical(), R"({"id":"fits","issue":null,"lines":1,"overflowPx":0,"scale":1})");
    EXPECT_EQ((*list)[1].canonical(), R"({"id":"snow","issue":"no_glyph","lines":0,"overflowPx":0,"scale":1})");
    const JSONValue& shrunk = (*list)[2];
    EXPECT_EQ(*shrunk.member("issue"), JSONValue(nullptr));
    EXPECT_GT(num(shrunk.member("scale")), 0.4);
    EXPECT_LT(num(shrunk.member("scale")), 1.0);
    const JSONValue& over = (*list)[3];
    EXPECT_EQ(*over.member("issue"), JSONValue("overflow"));
    EXPECT_LE(num(over.member("scale")), 0.4);
    EXPECT_GT(num(over.member("overflowPx")), 0);

    const JSONValue none = ask(engine, 3, "render.measureText", R"({"plan":)" + plan("") + "}");
    EXPECT_EQ(none.member("result")->canonical(), R"({"items":[]})");
}

TEST(TextMethods, LayoutAnswersIdsInTheirOrder) {
    EngineProcess engine({"--cache-dir", korvel::testing::freshFolder("text-layout")});
    const std::string items = item("a", "First caption here") + "," + item("b", "Second") + "," +
                              item("blank", "   ") + "," + item("snow", "\xF3\xB0\x80\x81") + "," +
                              item("a", "A later item with the same id");
    const JSONValue answer =
        ask(engine, 4, "render.textLayout",
            R"({"plan":)" + plan(items) + R"(,"ids":["b","a","blank","snow","b"]})");
    const auto* list = answer.member("result")->member("items")->arrayPtr();
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 3u); // blank and snow left out, b twice
    EXPECT_EQ(*(*list)[0].member("id"), JSONValue("b"));
    EXPECT_EQ(*(*list)[1].member("id"), JSONValue("a"));
    EXPECT_EQ((*list)[0], (*list)[2]);
    const JSONValue& a = (*list)[1];
    const auto* rows = a.member("rows")->arrayPtr();
    ASSERT_EQ(rows->size(), 1u);
    const JSONValue& row = (*rows)[0];
    for (const char* key : {"planLine", "x", "y", "width", "height", "fontSize", "lineHeight", "letterSpacing",
                            "wordSpacing", "uppercase"}) {
        EXPECT_TRUE(row.member(key)) << key;
    }
    // The first item with the id is laid out, in its box: bottom-anchored caption.
    EXPECT_DOUBLE_EQ(num(row.member("fontSize")), 6 * 10.8);
    EXPECT_DOUBLE_EQ(num(a.member("x")), num(row.member("x")));
    EXPECT_DOUBLE_EQ(num(a.member("y")) + num(a.member("height")), 0.9 * 1920);

    const JSONValue empty = ask(engine, 5, "render.textLayout", R"({"plan":)" + plan(items) + R"(,"ids":[]})");
    EXPECT_EQ(empty.member("result")->canonical(), R"({"items":[]})");
}

TEST(TextMethods, FailuresCarryExactSentences) {
    EngineProcess engine({"--cache-dir", korvel::testing::freshFolder("text-failures")});
    struct Case {
        std::string method, params, error;
    };
    const Case cases[] = {
        {"render.textLayout", R"({"plan":)" + plan(item("a", "x")) + R"(,"ids":["a","zz"]})",
         "-32602 The plan has no text item zz."},
        {"render.measureText",
         R"({"plan":)" + plan(item("a", "x", R"("font":"poppins","weight":400,"italic":false,"sizePct":6)")) + "}",
         "-32602 Poppins is bundled in weights 700 to 700, not 400."},
        {"render.measureText",
         R"({"plan":)" + plan(item("a", "x", R"("font":"playfair_display","weight":950,"italic":false,"sizePct":6)")) +
             "}",
         "-32602 Playfair Display is bundled in italic only."},
        {"render.measureText",
         R"({"plan":)" + plan(item("big", "x", R"("font":"inter","weight":400,"italic":false,"sizePct":1e300)")) + "}",
         "-32602 Text item big is too large to lay out."},
        {"render.measureText",
         R"({"plan":)" + plan(item("neg", "x", R"("font":"inter","weight":400,"italic":false,"sizePct":-2)")) + "}",
         "-32602 Text item neg has a negative size."},
        {"render.textLayout", R"({"plan":)" + plan("") + "}", "-32602 Params do not match the contract: missing .ids"},
        {"render.measureText", R"({"plan":)" + plan(item("long", std::string(300'000, 'a'))) + "}",
         "-32602 Text item long is too large to lay out."},
    };
    int64_t id = 10;
    for (const Case& c : cases) EXPECT_EQ(errorOf(ask(engine, id++, c.method, c.params, false)), c.error) << c.params;
}

TEST(TextMethods, EastAsianTextLaysOut) {
    EngineProcess engine({"--cache-dir", korvel::testing::freshFolder("text-cjk")});
    const std::string items = item("ja", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe5\xad\x97\xe5\xb9\x95") +
                              "," + item("ko", "\xed\x95\x9c\xea\xb5\xad\xec\x96\xb4 \xec\x9e\x90\xeb\xa7\x89") + "," +
                              item("zh", "\xe4\xb8\xad\xe6\x96\x87\xe5\xad\x97\xe5\xb9\x95");
    const JSONValue answer = ask(engine, 20, "render.measureText", R"({"plan":)" + plan(items) + "}");
    for (const auto& m : *answer.member("result")->member("items")->arrayPtr()) {
        EXPECT_EQ(*m.member("issue"), JSONValue(nullptr)) << m.canonical();
        EXPECT_EQ(*m.member("lines"), JSONValue(1)) << m.canonical();
    }
}

namespace {

// `count` scalars cycled from `pattern`.
std::string cycled(std::vector<uint32_t> pattern, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) Utf8::append(out, pattern[i % pattern.size()]);
    return out;
}

std::vector<uint32_t> scalars(uint32_t first, uint32_t last) {
    std::vector<uint32_t> out;
    for (uint32_t c = first; c <= last; ++c) out.push_back(c);
    return out;
}

} // namespace

// Items far longer than any caption, in the scripts broken between characters
// and as one unbreakable word: each method answers them as it answers a short one.
TEST(TextMethods, LongItemsAnswerLikeShortOnes) {
    const std::string folder = korvel::testing::freshFolder("text-long");
    EngineProcess engine({"--cache-dir", folder + "/cache"});
    struct Case {
        const char* name;
        std::string text;
        bool broken; // a space-less script, wrapped into many rows
    };
    const Case cases[] = {
        {"cjk", cycled(scalars(0x4E00, 0x4FFF), 30'000), true},
        {"thai", cycled({0x0E20, 0x0E32, 0x0E29, 0x0E32, 0x0E44, 0x0E17, 0x0E22, 0x0E07, 0x0E48, 0x0E32, 0x0E22,
                         0x0E21, 0x0E32, 0x0E01},
                        50'000),
         true},
        {"soundmarks", cycled({0x30A2}, 1) + cycled({0x30FC}, 30'000), true},
        {"latin", cycled(scalars('a', 'z'), 100'000), false},
        {"emoji", cycled(scalars(0x1F600, 0x1F64F), 30'000), false},
    };
    int64_t id = 100;
    for (const Case& c : cases) {
        const std::string items = item(c.name, c.text);
        const JSONValue measured = ask(engine, ++id, "render.measureText", R"({"plan":)" + plan(items) + "}");
        const auto* list = measured.member("result") ? measured.member("result")->member("items")->arrayPtr() : nullptr;
        ASSERT_TRUE(list && list->size() == 1) << c.name;
        const JSONValue& m = (*list)[0];
        EXPECT_EQ(*m.member("issue"), JSONValue("overflow")) << c.name;
        EXPECT_EQ(num(m.member("scale")), 0.4) << c.name;
        const double lines = num(m.member("lines"));
        if (c.broken) EXPECT_GT(lines, 100) << c.name;
        else EXPECT_EQ(lines, 1) << c.name;

        const JSONValue laidOut =
            ask(engine, ++id, "render.textLayout", R"({"plan":)" + plan(items) + R"(,"ids":[")" + c.name + R"("]})");
        const auto* layouts = laidOut.member("result") ? laidOut.member("result")->member("items")->arrayPtr() : nullptr;
        ASSERT_TRUE(layouts && layouts->size() == 1) << c.name;
        EXPECT_EQ(static_cast<double>((*layouts)[0].member("rows")->arrayPtr()->size()), lines) << c.name;

        const std::string out = folder + "/" + c.name + ".png";
        const JSONValue frame = ask(engine, ++id, "render.frame",
                                    R"({"plan":)" + plan(items) + R"(,"sources":{},"variant":"after","atUs":500000,)" +
                                        R"("maxLongEdge":320,"outPath":")" + out + R"("})");
        EXPECT_EQ(num(frame.member("result") ? frame.member("result")->member("height") : nullptr), 320) << c.name;
        EXPECT_TRUE(std::filesystem::exists(out)) << c.name;
    }
}
