#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace korvel {

// The stable key of an ordered list of strings: SHA-256 over each part as
// "<UTF-8 byte count>:<bytes>", as 64 lowercase hex digits. Stored analyses,
// audio plans and live structures are named by it, so its bytes must never
// change between builds.
namespace Fingerprint {
std::string of(std::span<const std::string> parts);
std::string of(std::initializer_list<std::string_view> parts);
} // namespace Fingerprint

} // namespace korvel
