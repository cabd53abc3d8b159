#pragma once

#include <string>
#include <string_view>

namespace korvel {

// A word text as it is spoken in English: lower-case words of letters and
// apostrophes, digit runs read out ("21" → "twenty one"), "%" → "percent".
namespace SpokenForm {
std::string english(std::string_view text);
}

} // namespace korvel
