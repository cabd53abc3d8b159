#include "Core/Render/MP4BoxWriter.hpp"

#include <stdexcept>
#include <string>

namespace korvel::MP4BoxWriter {

void appendU8(Bytes& out, uint8_t v) { out.push_back(v); }

void appendU16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void appendU32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void appendU64(Bytes& out, uint64_t v) {
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void appendZeros(Bytes& out, size_t count) { out.insert(out.end(), count, 0); }

void appendType(Bytes& out, std::string_view type) {
    if (type.size() != 4) throw std::invalid_argument("box type must be four characters: " + std::string(type));
    for (char c : type) {
        if (static_cast<unsigned char>(c) > 0x7F) throw std::invalid_argument("box type must be ASCII");
        out.push_back(static_cast<uint8_t>(c));
    }
}

Bytes box(std::string_view type, std::span<const uint8_t> payload) {
    if (payload.size() >= 0xFFFFFFFFull - 7) throw std::length_error("box payload too large for a 32-bit size");
    Bytes out;
    out.reserve(payload.size() + 8);
    appendU32(out, static_cast<uint32_t>(payload.size() + 8));
    appendType(out, type);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes fullBox(std::string_view type, uint8_t version, uint32_t flags, std::span<const uint8_t> payload) {
    Bytes body;
    body.reserve(payload.size() + 4);
    appendU32(body, (static_cast<uint32_t>(version) << 24) | (flags & 0xFFFFFF));
    body.insert(body.end(), payload.begin(), payload.end());
    return box(type, body);
}

Bytes identityMatrix() {
    Bytes out;
    for (uint32_t v : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u}) appendU32(out, v);
    return out;
}

Bytes join(std::initializer_list<std::span<const uint8_t>> parts) {
    size_t total = 0;
    for (auto p : parts) total += p.size();
    Bytes out;
    out.reserve(total);
    for (auto p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

} // namespace korvel::MP4BoxWriter
