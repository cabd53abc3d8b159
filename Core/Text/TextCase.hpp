#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvel::TextCase {

// Full upper-case mapping of the root locale (ß becomes SS), in UTF-8.
std::string upper(std::string_view utf8);
// The pieces between Unicode whitespace (line breaks included), none empty.
std::vector<std::string> words(std::string_view utf8);

} // namespace korvel::TextCase
