#include "Core/Digest.hpp"

#include <openssl/evp.h>
#include <stdexcept>

namespace korvel::Digest {

std::string hex(std::span<const unsigned char> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0xF]);
    }
    return out;
}

SHA256::SHA256() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(context_), EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_));
        throw std::runtime_error("SHA-256 is not available");
    }
}

SHA256::~SHA256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_)); }

void SHA256::update(const void* data, size_t size) {
    EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context_), data, size);
}

std::string SHA256::finishHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context_), digest, &length);
    return hex({digest, length});
}

std::string sha256(std::string_view text) {
    SHA256 state;
    state.update(text.data(), text.size());
    return state.finishHex();
}

} // namespace korvel::Digest
