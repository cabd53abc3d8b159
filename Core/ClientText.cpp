#include "Core/ClientText.hpp"

namespace korvel::ClientText {

std::string quoted(std::string_view text) {
    // Characters are counted by their first bytes, so a cut never splits one.
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (characters++ == quotedCharacters) return std::string(text.substr(0, i)) + "\u2026";
    }
    return std::string(text);
}

} // namespace korvel::ClientText
