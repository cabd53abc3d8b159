#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvel {

// A client's string as a message quotes it: at most its first 64 characters,
// then "…" when there was more, so a huge id or colour can't swell an answer.
namespace ClientText {
inline constexpr std::size_t quotedCharacters = 64;

std::string quoted(std::string_view text);
} // namespace ClientText

} // namespace korvel
