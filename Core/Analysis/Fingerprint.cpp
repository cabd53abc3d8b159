#include "Core/Analysis/Fingerprint.hpp"

#include "Core/Digest.hpp"

namespace korvel::Fingerprint {

namespace {
template <class Parts>
std::string hashed(const Parts& parts) {
    Digest::SHA256 state;
    for (std::string_view part : parts) {
        std::string length = std::to_string(part.size());
        state.update(length.data(), length.size());
        state.update(":", 1);
        state.update(part.data(), part.size());
    }
    return state.finishHex();
}
} // namespace

std::string of(std::span<const std::string> parts) { return hashed(parts); }

std::string of(std::initializer_list<std::string_view> parts) { return hashed(parts); }

} // namespace korvel::Fingerprint
