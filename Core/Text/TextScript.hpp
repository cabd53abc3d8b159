#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// Facts about a text's script from fixed code-point tables: its direction,
// whether words run without spaces, whether letters join, and in which
// language order missing glyphs are looked for.
namespace TextScript {
// Decided by the first letter alone.
bool isRightToLeft(std::string_view utf8);
// Every letter (at least one) lies in a script written without spaces.
bool isWrittenWithoutSpaces(std::string_view utf8);
// Any scalar lies in a script whose letters join or combine.
bool joinsLetters(std::string_view utf8);
// Nineteen language codes, the East Asian head chosen by the text.
std::vector<std::string> cascadeLanguages(std::string_view utf8);
} // namespace TextScript

} // namespace korvel
