#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
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
// The unity matrix, nine 32-bit values: 16.16 for the first two columns,
// 2.30 for the third.
constexpr std::array<int32_t, 9> unityMatrix{0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
Bytes identityMatrix();
Bytes join(std::initializer_list<std::span<const uint8_t>> parts);

// The one track of a movie written here, with no samples in the movie box:
// what tells a sound track from a picture track, and a fragmented file
// from a plain one.
struct Track {
    enum class Media { sound, video };
    Media media = Media::sound;
    uint32_t timescale = 0; // of the movie and of the track
    std::array<int32_t, 9> matrix = unityMatrix;
    uint32_t width = 0, height = 0; // presentation size in pixels
    Bytes sampleEntry;              // the one sample description, a whole box
    std::optional<Bytes> editList;  // payload of an "elst" box
    // For a fragmented file: the default sample duration its "trex" gives.
    std::optional<uint32_t> fragmentSampleDuration;
};
// "moov": "mvhd", the track's "trak" and, when fragmented, "mvex".
Bytes movie(const Track& track);

void appendU8(Bytes& out, uint8_t v);
void appendU16(Bytes& out, uint16_t v);
void appendU32(Bytes& out, uint32_t v);
void appendU64(Bytes& out, uint64_t v);
void appendZeros(Bytes& out, size_t count);
void appendType(Bytes& out, std::string_view type);
} // namespace MP4BoxWriter

} // namespace korvel
