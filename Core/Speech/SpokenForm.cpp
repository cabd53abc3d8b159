#include "Core/Speech/SpokenForm.hpp"

#include "Core/Speech/Characters.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace korvel::SpokenForm {

namespace {
constexpr std::array<std::string_view, 20> ones{
    "zero", "one", "two", "three", "four", "five", "six", "seven", "eight", "nine",
    "ten", "eleven", "twelve", "thirteen", "fourteen", "fifteen", "sixteen", "seventeen", "eighteen", "nineteen"};
constexpr std::array<std::string_view, 10> tens{"", "", "twenty", "thirty", "forty", "fifty", "sixty", "seventy", "eighty", "ninety"};

std::string number(int64_t n) {
    if (n < 20) return std::string(ones[static_cast<size_t>(n)]);
    if (n < 100) {
        std::string words(tens[static_cast<size_t>(n / 10)]);
        if (n % 10 != 0) words += " " + std::string(ones[static_cast<size_t>(n % 10)]);
        return words;
    }
    if (n < 1000) {
        std::string words = std::string(ones[static_cast<size_t>(n / 100)]) + " hundred";
        if (n % 100 != 0) words += " " + number(n % 100);
        return words;
    }
    const auto [scale, name] = n < 1'000'000      ? std::pair<int64_t, std::string_view>{1'000, "thousand"}
                               : n < 1'000'000'000 ? std::pair<int64_t, std::string_view>{1'000'000, "million"}
                                                   : std::pair<int64_t, std::string_view>{1'000'000'000, "billion"};
    std::string words = number(n / scale) + " " + std::string(name);
    if (n % scale != 0) words += " " + number(n % scale);
    return words;
}

// A decimal reading that does not fit 64 bits gives nothing.
std::optional<int64_t> decimal(std::string_view digits) {
    int64_t value = 0;
    for (char d : digits) {
        if (__builtin_mul_overflow(value, 10, &value) || __builtin_add_overflow(value, d - '0', &value)) return std::nullopt;
    }
    return value;
}

struct Words {
    std::vector<std::string> out;
    std::string letters;
    std::string digits;

    void flushLetters() {
        size_t first = letters.find_first_not_of('\'');
        if (first != std::string::npos) {
            size_t last = letters.find_last_not_of('\'');
            out.push_back(letters.substr(first, last - first + 1));
        }
        letters.clear();
    }
    void flushDigits() {
        if (!digits.empty())
            if (std::optional<int64_t> n = decimal(digits)) out.push_back(number(*n));
        digits.clear();
    }
};
} // namespace

std::string english(std::string_view text) {
    std::string prepared = Characters::folded(text);
    for (size_t at = prepared.find("\u2019"); at != std::string::npos; at = prepared.find("\u2019", at))
        prepared.replace(at, 3, "'");
    prepared = Characters::lowercased(prepared);

    Words words;
    for (const std::string& c : Characters::split(prepared)) {
        if (c.size() == 1 && c[0] >= '0' && c[0] <= '9') {
            words.flushLetters();
            words.digits += c;
        } else if (c == "," && !words.digits.empty()) {
            continue;
        } else if (c == "'" || Characters::isLetter(c)) {
            words.flushDigits();
            words.letters += c;
        } else {
            words.flushDigits();
            words.flushLetters();
            if (c == "%") words.out.emplace_back("percent");
        }
    }
    words.flushDigits();
    words.flushLetters();

    std::string spoken;
    for (const std::string& w : words.out) {
        if (!spoken.empty()) spoken += ' ';
        spoken += w;
    }
    return spoken;
}

} // namespace korvel::SpokenForm
