#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korvel {

// H.264 and HEVC come in two framings: raw streams and MPEG-TS put a start
// code before each NAL unit, MP4 samples and Matroska blocks a length. The
// movie side of the engine speaks only the second, with 4-byte lengths and
// a decoder configuration record (avcC, hvcC) beside the samples.
namespace AnnexB {

enum class Codec { h264, hevc };

using Unit = std::span<const uint8_t>;

// Whether the bytes open with a 3- or 4-byte start code.
bool startsWithStartCode(std::span<const uint8_t> bytes);

// The NAL units between start codes of 3 or 4 bytes; emulation prevention
// bytes and any zeros beyond a 4-byte code stay, as the units are stored
// that way.
std::vector<Unit> units(std::span<const uint8_t> stream);

// Every unit prefixed by its 4-byte length. Parameter sets, delimiters and
// SEI stay in the sample, as MP4 muxers keep them from raw streams: a
// decoder takes in-band parameter sets over the record's.
std::vector<uint8_t> lengthPrefixed(std::span<const uint8_t> stream);
// The same appended to `out`; the number of bytes appended.
size_t appendLengthPrefixed(std::span<const uint8_t> stream, std::vector<uint8_t>& out);

// The units of length-prefixed bytes; nothing unless the lengths tile the
// bytes exactly and no unit is empty.
std::optional<std::vector<Unit>> prefixedUnits(std::span<const uint8_t> bytes, int lengthSize);

// A sample in either framing as 4-byte length-prefixed units. Bytes that
// tile as units of `lengthSize` (a record's) are taken as prefixed, since a
// length can start like a start code; nothing when neither fits.
std::optional<std::vector<uint8_t>> sampleWithFourByteLengths(std::span<const uint8_t> bytes,
                                                              std::optional<int> lengthSize);

// Whether codec-private bytes are a decoder configuration record rather
// than start-coded parameter sets (Matroska stores records, MPEG-TS none).
bool isConfigurationRecord(std::span<const uint8_t> bytes, Codec codec);
// The unit length size (1, 2 or 4) a record declares; nothing when the
// record is too short or declares 3.
std::optional<int> recordLengthSize(std::span<const uint8_t> record, Codec codec);
// The parameter sets a record lists; nothing when it doesn't hold together.
std::optional<std::vector<Unit>> recordUnits(std::span<const uint8_t> record, Codec codec);

// An avcC payload from the SPS and PPS (and SPS extension) units among
// `units`, with the chroma and bit-depth fields beyond the main profiles;
// nothing without an SPS and a PPS or when the SPS can't be read.
std::optional<std::vector<uint8_t>> avcConfiguration(std::span<const Unit> units);
// An hvcC payload from the VPS, SPS and PPS units among `units`: profile,
// tier and level from their profile_tier_level, chroma format and bit
// depths from the SPS, 4-byte lengths; nothing when one is missing or
// can't be read.
std::optional<std::vector<uint8_t>> hevcConfiguration(std::span<const Unit> units);
std::optional<std::vector<uint8_t>> configuration(std::span<const Unit> units, Codec codec);

// The avcC payload of start-coded parameter sets; empty when one is missing.
std::vector<uint8_t> avcC(std::span<const uint8_t> parameterSets);

} // namespace AnnexB

} // namespace korvel
