#pragma once

#include <span>
#include <string>
#include <string_view>

namespace korvel {

// SHA-256 as 64 lowercase hexadecimal characters.
namespace Digest {
std::string hex(std::span<const unsigned char> bytes);
std::string sha256(std::string_view text);

// Incremental SHA-256 for data that arrives in pieces.
class SHA256 {
public:
    SHA256();
    ~SHA256();
    SHA256(const SHA256&) = delete;
    SHA256& operator=(const SHA256&) = delete;
    void update(const void* data, size_t size);
    std::string finishHex();

private:
    void* context_;
};
} // namespace Digest

} // namespace korvel
