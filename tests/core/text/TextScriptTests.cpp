#include "Core/Text/TextScript.hpp"

#include <gtest/gtest.h>

using namespace korvel;

TEST(TextScript, FactsOfATable) {
    struct Case {
        const char* text;
        bool rtl, withoutSpaces, joins;
        const char* head;
    };
    const Case cases[] = {
        {"12 \u05e9\u05dc\u05d5\u05dd", true, false, true, "ja"},          // digits and a space, then Hebrew
        {"ab \u05e9\u05dc", false, false, true, "ja"},                      // Latin first
        {"", false, false, false, "ja"},
        {"123 -- !?", false, false, false, "ja"},
        {"\u6f22\u5b57\u6587", false, true, false, "zh-Hans"},              // Han only
        {"\u3072\u3089\u6f22\u5b57", false, true, false, "ja"},             // kana and Han
        {"\ud55c\uad6d\uc5b4", false, false, false, "ko"},                  // Hangul breaks at spaces
        {"\u0e2a\u0e27\u0e31\u0e2a\u0e14\u0e35", false, true, true, "ja"},  // Thai
        {"\u0928\u092e\u0938\u094d\u0924\u0947", false, false, true, "ja"}, // Devanagari
        {"\u6f22\u5b57 ab", false, false, false, "zh-Hans"},                // one Latin word spoils it
        {"\uff71", false, true, false, "ja"},                               // halfwidth katakana is kana
        {"\uff21\uff22\uff43", false, true, false, "ja"},                   // fullwidth Latin
        {"\u6f22\u3001\u5b57\u3002", false, true, false, "zh-Hans"},        // CJK punctuation is not kana
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TextScript::isRightToLeft(c.text), c.rtl) << c.text;
        EXPECT_EQ(TextScript::isWrittenWithoutSpaces(c.text), c.withoutSpaces) << c.text;
        EXPECT_EQ(TextScript::joinsLetters(c.text), c.joins) << c.text;
        const auto languages = TextScript::cascadeLanguages(c.text);
        ASSERT_EQ(languages.size(), 19u);
        EXPECT_EQ(languages[0], c.head) << c.text;
        EXPECT_EQ(languages[4], "ar");
        EXPECT_EQ(languages[18], "hy");
    }
}

TEST(TextScript, CascadeHeads) {
    using L = std::vector<std::string>;
    const L tail{"ar", "ur", "he", "th", "hi", "ru", "el", "bn", "ta", "te", "my", "km", "lo", "ka", "hy"};
    const auto with = [&](L head) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    EXPECT_EQ(TextScript::cascadeLanguages("hello"), with({"ja", "zh-Hans", "zh-Hant", "ko"}));
    EXPECT_EQ(TextScript::cascadeLanguages("\ud55c \u6f22"), with({"ko", "ja", "zh-Hans", "zh-Hant"}));
    EXPECT_EQ(TextScript::cascadeLanguages("\u6f22"), with({"zh-Hans", "zh-Hant", "ja", "ko"}));
}
