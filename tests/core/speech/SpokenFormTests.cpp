#include "Core/Speech/SpokenForm.hpp"

#include <gtest/gtest.h>

using namespace korvel;

TEST(SpokenForm, English) {
    const std::pair<std::string, std::string> cases[] = {
        {"21", "twenty one"},
        {"1,000", "one thousand"},
        {"1,234,567", "one million two hundred thirty four thousand five hundred sixty seven"},
        {"50%", "fifty percent"},
        {"$5", "five"},
        {"1.5", "one five"},
        {"007", "seven"},
        {"mp3", "mp three"},
        {"3d", "three d"},
        {"don\u2019t", "don't"},
        {"'quoted'", "quoted"},
        {"Caf\u00E9", "cafe"},
        {"Cafe\u0301!", "cafe"},
        {"12345678901234567890 apples", "apples"},
        {"9223372036854775807", "nine billion two hundred twenty three million three hundred seventy two thousand thirty six "
                                "billion eight hundred fifty four million seven hundred seventy five thousand eight hundred seven"},
        {"?!...", ""},
        {"", ""},
        {"100", "one hundred"},
        {"1000000", "one million"},
        {"2000000000000", "two thousand billion"},
        {"0", "zero"},
        {"110", "one hundred ten"},
        {"Hello, World", "hello world"},
        {",5", "five"},
        {"Stra\u00DFe", "strasse"},
        {"rock'n'roll", "rock'n'roll"},
        {"\u0665", ""},  // an Arabic-Indic digit is a number, not an ASCII digit
    };
    for (const auto& [text, spoken] : cases) EXPECT_EQ(SpokenForm::english(text), spoken) << text;
}
