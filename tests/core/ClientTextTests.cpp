#include "Core/ClientText.hpp"

#include <gtest/gtest.h>

using namespace korvel;

TEST(ClientText, QuotesAtMostSixtyFourCharacters) {
    const std::string e = "\xc3\xa9";          // é, two bytes
    const std::string snowman = "\xe2\x98\x83"; // three bytes
    struct Case {
        std::string text, quoted;
    };
    const Case cases[] = {
        {"", ""},
        {"#ff00zz", "#ff00zz"},
        {std::string(64, 'a'), std::string(64, 'a')},
        {std::string(65, 'a'), std::string(64, 'a') + "\u2026"},
        {std::string(100000, 'x'), std::string(64, 'x') + "\u2026"},
        // Counted in characters, cut between them.
        {std::string(63, 'a') + e + e, std::string(63, 'a') + e + "\u2026"},
        {std::string(62, 'a') + snowman + snowman, std::string(62, 'a') + snowman + snowman},
        {std::string(63, 'a') + snowman + snowman, std::string(63, 'a') + snowman + "\u2026"},
    };
    for (const Case& c : cases) EXPECT_EQ(ClientText::quoted(c.text), c.quoted) << c.text.size();
}
