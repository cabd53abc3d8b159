#include "Core/JSONValue.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "tests/support/JSONOracle.hpp"

using namespace korvel;

TEST(JSONValue, NumbersReadAsIntegersWhenIntegral) {
    struct Case {
        const char* text;
        JSONValue expected;
    };
    const Case cases[] = {
        {"42", JSONValue(int64_t{42})},
        {"4.0", JSONValue(int64_t{4})},
        {"-0.0", JSONValue(int64_t{0})},
        {"4e2", JSONValue(int64_t{400})},
        {"4.5", JSONValue(4.5)},
        {"1e19", JSONValue(1e19)},
        {"18446744073709551615", JSONValue(18446744073709551615.0)},
        {"-9223372036854775808", JSONValue(INT64_MIN)},
        {"true", JSONValue(true)},
        {"\"x\"", JSONValue("x")},
        {"null", JSONValue()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JSONValue::parsing(c.text), c.expected) << c.text;
    }
}

TEST(JSONValue, TrueIsNeverAnInteger) {
    auto v = JSONValue::parsing("true");
    EXPECT_TRUE(v.isBool());
    EXPECT_FALSE(v.intValue());
}

TEST(JSONValue, SubscriptOnNonObjectsIsAbsent) {
    for (const char* text : {"[1]", "\"s\"", "null", "{}"}) {
        EXPECT_EQ(JSONValue::parsing(text).member("a"), nullptr) << text;
    }
    EXPECT_EQ(*JSONValue::parsing(R"({"a":1})").member("a"), JSONValue(1));
}

TEST(JSONValue, IntValueNeverConvertsDoubles) {
    EXPECT_FALSE(JSONValue(3.0).intValue());
    EXPECT_EQ(JSONValue(3).intValue(), 3);
}

TEST(JSONValue, EqualityKeepsCasesApart) {
    EXPECT_NE(JSONValue(JSONValue::Array{JSONValue(1)}), JSONValue(JSONValue::Array{JSONValue(1.0)}));
    EXPECT_EQ(JSONValue(0.0), JSONValue(-0.0));
    EXPECT_NE(JSONValue(std::nan("")), JSONValue(std::nan("")));
    // Text compares by canonical equivalence: a precomposed letter equals its decomposed form.
    struct Case {
        JSONValue a, b;
        bool equal;
    };
    const Case cases[] = {
        {JSONValue("caf\u00e9"), JSONValue("cafe\u0301"), true},
        {JSONValue("cafe"), JSONValue("caf\u00e9"), false},
        {JSONValue("\u00e9\u00e9"), JSONValue("\u00e9e\u0301"), true},
        {JSONValue::parsing(R"({"\u00e9":1,"b":2})"), JSONValue::parsing(R"({"e\u0301":1,"b":2})"), true},
        {JSONValue::parsing(R"({"\u00e9":1})"), JSONValue::parsing(R"({"e\u0301":2})"), false},
        {JSONValue(std::string("\xff")), JSONValue(std::string("\xfe")), false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.a == c.b, c.equal) << c.a.canonical() << " vs " << c.b.canonical();
}

TEST(JSONValue, CanonicalSortsKeysAndKeepsSlashes) {
    auto v = JSONValue::parsing(R"({"b":"a/b","a":[1,2.5,null,true],"c":{"z":1,"y":"\u0001\n"}})");
    EXPECT_EQ(v.canonical(), R"({"a":[1,2.5,null,true],"b":"a/b","c":{"y":"\u0001\n","z":1}})");
}

TEST(JSONValue, CanonicalRoundTripsDoubles) {
    for (double d : {0.1, 1.0 / 3.0, 1e300, -2.5e-300, 123456.789}) {
        auto text = JSONValue(d).canonical();
        auto back = JSONValue::parsing(text);
        ASSERT_TRUE(back.doubleValue()) << text;
        EXPECT_EQ(*back.doubleValue(), d);
    }
}

TEST(JSONValue, NonFiniteDoubleFailsEncoding) {
    EXPECT_THROW(JSONValue(JSONValue::Array{JSONValue(HUGE_VAL)}).canonical(), JSONEncodingError);
}

TEST(JSONValue, DeepNestingIsRefusedWithoutRecursion) {
    std::string deep(100'000, '[');
    EXPECT_THROW(JSONValue::parsing(deep), JSONParseError);
    std::string closed = std::string(100'000, '[') + std::string(100'000, ']');
    EXPECT_THROW(JSONValue::parsing(closed), JSONParseError);
    std::string fine = std::string(100, '[') + std::string(100, ']');
    EXPECT_NO_THROW(JSONValue::parsing(fine));
}

TEST(JSONValue, InvalidTextThrows) {
    for (const char* text : {"{", "", "[1,]", "nul", "{\"a\":1} x", "\"\xff\""}) {
        EXPECT_THROW(JSONValue::parsing(text), JSONParseError) << text;
    }
}

namespace {
// Our reader and the reference reader agree: both refuse, or both give the
// identical value.
void expectAgreement(const std::string& text) {
    auto expected = korvel::testing::JSONOracle::parse(text);
    std::optional<JSONValue> ours;
    try {
        ours = JSONValue::parsing(text);
    } catch (const JSONParseError&) {
    }
    ASSERT_EQ(ours.has_value(), expected.has_value()) << text;
    if (ours) {
        EXPECT_TRUE(korvel::testing::identical(*ours, *expected)) << text << " gave " << ours->canonical();
    }
}
} // namespace

TEST(JSONValue, ReaderAgreesWithTheReferenceParser) {
    const std::string nul("\0", 1);
    const std::vector<std::string> texts{
        "0", "-0", "-0.0", "01", "1.", ".5", "+1", "-", "1e", "1e+", "1E-2", "1e400", "-1e400", "1e-400", "2.5e-324",
        "9223372036854775807", "9223372036854775808", "-9223372036854775808", "-9223372036854775809",
        "18446744073709551615", "18446744073709551616", "123456789012345678901234567890", "0.1", "1.7976931348623157e308",
        "4.9e-324", "1.0e2", "100e-2", "[1,2,3]", "[ 1 , 2 ]", "[", "]", "[1,]", "[,1]", "{}", "{\"a\":1,\"a\":2}",
        "{\"b\":1,\"a\":2,\"c\":[]}", "{\"a\" : {\"b\" : null } }", "{1:2}", "{\"a\"}", "{\"a\":}", "{\"a\":1,}",
        "\"\"", "\"\\u0000\"", "\"\\ud83d\\ude00\"", "\"\\ud83d\"", "\"\\ude00\"", "\"\\ud83dx\"", "\"\\u12\"",
        "\"\\uZZZZ\"", "\"\\x\"", "\"\\/\\b\\f\\n\\r\\t\\\\\\\"\"", "\"\t\"", "\"\x7f\"", "\"caf\xc3\xa9\"", "\"\xc3\"",
        "\"\xc0\x80\"", "\"\xed\xa0\x80\"", "\"\xf4\x90\x80\x80\"", "\"\xf0\x9f\x98\x80\"", "\"\xe0\x80\xaf\"",
        "\xef\xbb\xbf{}", "\xef\xbb{}", " \xef\xbb\xbf{}", " \t\r\n1\n", "", " ", "true", "tru", "truex", "nulll",
        "falsE", "[true,false,null]", "{\"jsonrpc\":\"2.0\",\"id\":5.0,\"method\":\"m\",\"params\":{}}",
        "[1" + std::string(5000, ' ') + "]", "\"" + std::string(100, 'a') + "\\n" + std::string(40, 'b') + "\"",
    };
    for (const auto& text : texts) expectAgreement(text);
    // Nesting up to the limit reads; one level more is refused by both.
    const int limit = JSONValue::maxDepth;
    expectAgreement(std::string(limit, '[') + std::string(limit, ']'));
    expectAgreement(std::string(limit + 1, '[') + std::string(limit + 1, ']'));
    EXPECT_NO_THROW(JSONValue::parsing(std::string(limit, '[') + std::string(limit, ']')));
    // The reference stops at a NUL byte as if the text ended there; ours
    // reads the whole line and refuses what follows a value.
    EXPECT_THROW(JSONValue::parsing("1" + nul + "x"), JSONParseError);
}

// Random edits of real messages: every byte position, few seconds.
TEST(JSONValue, ReaderAgreesOnMutatedMessages) {
    const std::vector<std::string> seeds{
        R"({"id":7,"jsonrpc":"2.0","method":"asset.probe","params":{"path":"/m/a b/\u00e9.mp4"}})",
        R"({"jsonrpc":"2.0","method":"$/cancel","params":{"id":7}})",
        R"([{"a":[1,-2.5e3,true,null,"x\"y"]},{"b":{"c":{}}},[[]],0.000001,-0,1e308])",
    };
    const std::string alphabet = "{}[]\",:\\/u0123456789.eE+-tfnal \t\r\n\xc3\xa9\xed\xa0\x80\xf0\x9f\xff";
    uint64_t state = 42;
    auto next = [&] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<size_t>(state >> 33);
    };
    for (int round = 0; round < 6000; ++round) {
        std::string text = seeds[next() % seeds.size()];
        for (int edits = 1 + static_cast<int>(next() % 3); edits > 0; --edits) {
            size_t at = next() % (text.size() + 1);
            switch (next() % 3) {
            case 0: text.insert(at, 1, alphabet[next() % alphabet.size()]); break;
            case 1: if (at < text.size()) text.erase(at, 1); break;
            default: if (at < text.size()) text[at] = alphabet[next() % alphabet.size()]; break;
            }
        }
        expectAgreement(text);
        if (HasFatalFailure() || HasFailure()) return;
    }
}

// Sixteen bytes a value, and every array read at its final size: a document
// costs a small multiple of its text.
TEST(JSONValue, LargeDocumentsCostASmallMultipleOfTheirText) {
    EXPECT_EQ(sizeof(JSONValue), 16u);
    std::string text = "[";
    for (int i = 0; i < 100'000; ++i) text += i ? ",0" : "0";
    text += "]";
    auto value = JSONValue::parsing(text);
    ASSERT_EQ(value.arrayPtr()->size(), 100'000u);
    EXPECT_EQ(value.arrayPtr()->capacity(), 100'000u);
    auto nested = JSONValue::parsing("[[1,2,3],[],[[4]]]");
    EXPECT_EQ((*nested.arrayPtr())[0].arrayPtr()->capacity(), 3u);
    EXPECT_EQ((*nested.arrayPtr())[2].arrayPtr()->capacity(), 1u);
}

TEST(JSONValue, CopiesAreIndependentAndMovesLeaveNull) {
    JSONValue a = JSONValue::parsing(R"({"k":["x",{"y":1}]})");
    JSONValue b = a;
    (*b.objectPtr())["k"].arrayPtr()->push_back(JSONValue(2));
    EXPECT_EQ(a.canonical(), R"({"k":["x",{"y":1}]})");
    EXPECT_EQ(b.canonical(), R"({"k":["x",{"y":1},2]})");
    JSONValue c = std::move(b);
    EXPECT_TRUE(b.isNull());
    // Assigning a member to its own parent keeps the member alive.
    c = (*c.objectPtr())["k"];
    EXPECT_EQ(c.canonical(), R"(["x",{"y":1},2])");
    c = std::move((*c.arrayPtr())[1]);
    EXPECT_EQ(c.canonical(), R"({"y":1})");
}

TEST(JSONValue, PlainEncodingEscapesSlashes) {
    JSONValue v(JSONValue::Object{{"path", JSONValue("/a/b")}, {"pid", JSONValue(3)}});
    EXPECT_EQ(v.plain(), R"({"path":"\/a\/b","pid":3})");
    EXPECT_EQ(v.canonical(), R"({"path":"/a/b","pid":3})");
    EXPECT_EQ(JSONValue::parsing(v.plain()), v);
}
