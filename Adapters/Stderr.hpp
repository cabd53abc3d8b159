#pragma once

#include <string_view>

namespace korvel::Stderr {
// One unlocked write of the text as it is; callers end their lines.
void write(std::string_view text);
} // namespace korvel::Stderr
