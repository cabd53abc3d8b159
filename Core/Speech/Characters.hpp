#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// The text operations speech needs, on UTF-8, with a "character" meaning one
// extended grapheme cluster. A character's class is that of its first code point.
namespace Characters {
std::vector<std::string> split(std::string_view text);
size_t count(std::string_view text);

bool isLetter(std::string_view character);
bool isNumber(std::string_view character);
bool isWhitespace(std::string_view character);

std::string lowercased(std::string_view text);
std::string uppercased(std::string_view text);
std::string composed(std::string_view text);
// Case-folded and stripped of diacritics, for comparing as spoken.
std::string folded(std::string_view text);
} // namespace Characters

} // namespace korvel
