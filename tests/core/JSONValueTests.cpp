#include "Core/JSONValue.hpp"

#include <gtest/gtest.h>

#include <cmath>

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
