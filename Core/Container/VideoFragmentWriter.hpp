#pragma once

#include "Core/Container/MP4BoxWriter.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// The source's video format as the copied samples need it described.
struct CopiedVideoFormat {
    std::string sampleEntry;  // "avc1"
    std::string configBox;    // "avcC"
    MP4BoxWriter::Bytes config;
    int64_t width = 0;
    int64_t height = 0;
    std::optional<MP4BoxWriter::Bytes> color;  // payload of a "colr" box
    // 16.16 for the first two columns, 2.30 for the third.
    std::array<int32_t, 9> matrix = upright;

    static constexpr std::array<int32_t, 9> upright = MP4BoxWriter::unityMatrix;

    bool operator==(const CopiedVideoFormat&) const = default;
};

struct CopiedSample {
    uint32_t duration = 0;
    uint32_t size = 0;
    int32_t compositionOffset = 0;
    bool isSync = false;

    bool operator==(const CopiedSample&) const = default;
};

// One self-contained fragmented MP4 (ftyp, moov, moof, mdat) whose pictures
// are the source's compressed samples, unchanged, starting at decode time 0.
namespace VideoFragmentWriter {
// Throws std::invalid_argument or std::length_error, before any byte is
// built, for inputs outside the file format's field widths or sample sizes
// that do not add up to the payload.
MP4BoxWriter::Bytes fragment(const CopiedVideoFormat& format, uint32_t timescale,
                             const std::vector<CopiedSample>& samples, std::span<const uint8_t> payload);
// The same file made around a payload that already fills `file` from byte
// `at` on: the boxes take the bytes just before it and whatever lies ahead
// of them goes, so the payload is never copied into a buffer of its own.
// Throws as fragment() does, leaving `file` as it was.
void fragmentAround(const CopiedVideoFormat& format, uint32_t timescale, const std::vector<CopiedSample>& samples,
                    MP4BoxWriter::Bytes& file, size_t at);
} // namespace VideoFragmentWriter

} // namespace korvel
