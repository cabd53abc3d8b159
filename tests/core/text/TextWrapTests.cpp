#include "Core/Text/TextWrap.hpp"

#include <gtest/gtest.h>

using namespace korvel;

namespace {
std::vector<size_t> counts(const std::vector<TextSpan>& lines) {
    std::vector<size_t> out;
    for (const auto& l : lines) out.push_back(l.end - l.begin);
    return out;
}
} // namespace

TEST(TextWrap, BalancesInsteadOfFilling) {
    struct Case {
        std::vector<double> widths;
        double space, maxWidth;
        std::vector<size_t> lines;
    };
    const Case cases[] = {
        {{10, 10, 10, 10}, 2, 40, {2, 2}},          // greedy gives 3 + 1
        {{10, 10, 10, 10, 10}, 2, 40, {3, 2}},      // as greedily
        {{10, 10}, 2, 40, {2}},                     // one line, no search
        {{}, 2, 40, {}},
        {{55}, 2, 40, {1}},                         // one token wider than the line
        {{10, 10, 10}, 5, 40, {3}},                 // exactly 40 stays
        {{10, 10, 10}, 5.0001, 40, {2, 1}},
        {{30, 50, 10}, 2, 40, {1, 1, 1}},           // the wide one stands alone
    };
    for (const Case& c : cases) EXPECT_EQ(counts(TextWrap::balanced(c.widths, c.space, c.maxWidth)), c.lines);
}

TEST(TextWrap, GapBeforeALineStartIsDropped) {
    // A huge gap before token 0 is never used; one before token 2 forces a break there.
    const auto lines = TextWrap::balanced({10, 10, 10}, {1000, 0, 1000}, 100);
    EXPECT_EQ(counts(lines), (std::vector<size_t>{2, 1}));
}

TEST(TextMetrics, Unit) {
    EXPECT_DOUBLE_EQ(TextMetrics::unit(1920, 1080), 6.075);
    EXPECT_DOUBLE_EQ(TextMetrics::unit(1000, 1920), 10);
}
