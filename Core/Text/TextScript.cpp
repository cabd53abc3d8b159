#include "Core/Text/TextScript.hpp"

#include "Core/Text/Utf8.hpp"

#include <unicode/uchar.h>

#include <algorithm>
#include <array>
#include <cstdint>

namespace korvel::TextScript {

namespace {

struct Range {
    uint32_t low;
    uint32_t high;
};

template <size_t N> bool inside(const std::array<Range, N>& table, uint32_t c) {
    return std::any_of(table.begin(), table.end(), [c](const Range& r) { return c >= r.low && c <= r.high; });
}

constexpr std::array<Range, 5> rightToLeft{{
    {0x0590, 0x08FF}, {0xFB1D, 0xFDFF}, {0xFE70, 0xFEFF}, {0x10800, 0x10FFF}, {0x1E800, 0x1EFFF}}};
constexpr std::array<Range, 10> withoutSpaces{{
    {0x0E00, 0x0EFF}, {0x1000, 0x109F}, {0x1780, 0x17FF}, {0x3000, 0x30FF}, {0x31F0, 0x31FF},
    {0x3400, 0x4DBF}, {0x4E00, 0x9FFF}, {0xF900, 0xFAFF}, {0xFF00, 0xFFEF}, {0x20000, 0x3FFFF}}};
constexpr std::array<Range, 7> joined{{
    {0x0590, 0x08FF}, {0x0900, 0x0DFF}, {0x0E00, 0x0FFF}, {0x1000, 0x109F},
    {0x1780, 0x18AF}, {0xFB1D, 0xFDFF}, {0xFE70, 0xFEFF}}};
constexpr std::array<Range, 3> kana{{{0x3040, 0x30FF}, {0x31F0, 0x31FF}, {0xFF66, 0xFF9D}}};
constexpr std::array<Range, 3> hangul{{{0x1100, 0x11FF}, {0x3130, 0x318F}, {0xAC00, 0xD7FF}}};
constexpr std::array<Range, 4> han{{{0x3400, 0x4DBF}, {0x4E00, 0x9FFF}, {0xF900, 0xFAFF}, {0x20000, 0x3FFFF}}};

bool isLetter(uint32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC); }

template <size_t N> bool anyIn(std::string_view text, const std::array<Range, N>& table) {
    for (Utf8::Cursor at(text); !at.done();) {
        if (inside(table, at.next())) return true;
    }
    return false;
}

} // namespace

bool isRightToLeft(std::string_view text) {
    for (Utf8::Cursor at(text); !at.done();) {
        const uint32_t c = at.next();
        if (isLetter(c)) return inside(rightToLeft, c);
    }
    return false;
}

bool isWrittenWithoutSpaces(std::string_view text) {
    bool anyLetter = false;
    for (Utf8::Cursor at(text); !at.done();) {
        const uint32_t c = at.next();
        if (!isLetter(c)) continue;
        if (!inside(withoutSpaces, c)) return false;
        anyLetter = true;
    }
    return anyLetter;
}

bool joinsLetters(std::string_view text) { return anyIn(text, joined); }

std::vector<std::string> cascadeLanguages(std::string_view text) {
    std::vector<std::string> out;
    if (anyIn(text, kana)) out = {"ja", "zh-Hans", "zh-Hant", "ko"};
    else if (anyIn(text, hangul)) out = {"ko", "ja", "zh-Hans", "zh-Hant"};
    else if (anyIn(text, han)) out = {"zh-Hans", "zh-Hant", "ja", "ko"};
    else out = {"ja", "zh-Hans", "zh-Hant", "ko"};
    for (const char* code : {"ar", "ur", "he", "th", "hi", "ru", "el", "bn", "ta", "te", "my", "km", "lo", "ka", "hy"}) {
        out.emplace_back(code);
    }
    return out;
}

} // namespace korvel::TextScript
