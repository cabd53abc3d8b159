#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

namespace korvel {

// Box helpers of the ISO base media file format, shared by every fragment
// writer. All fields are big-endian; sizes are always 32 bits.
namespace MP4BoxWriter {
using Bytes = std::vector<uint8_t>;

// Throws std::invalid_argument for a type that is not four ASCII characters
// and std::length_error for a payload of 2^32 − 8 bytes or more.
Bytes box(std::string_view type, std::span<const uint8_t> payload);
Bytes fullBox(std::string_view type, uint8_t version, uint32_t flags, std::span<const uint8_t> payload);
// The unity matrix, nine 32-bit values.
Bytes identityMatrix();
Bytes join(std::initializer_list<std::span<const uint8_t>> parts);

void appendU8(Bytes& out, uint8_t v);
void appendU16(Bytes& out, uint16_t v);
void appendU32(Bytes& out, uint32_t v);
void appendU64(Bytes& out, uint64_t v);
void appendZeros(Bytes& out, size_t count);
void appendType(Bytes& out, std::string_view type);
} // namespace MP4BoxWriter

} // namespace korvel
