#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// The movie box of an ISO base media file (MP4, MOV) does not hold together:
// a box runs past its parent, a table is shorter than it claims, a timescale
// is zero.
struct MovieBoxError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One box at the top level of a file.
struct TopLevelBox {
    std::string type;
    int64_t offset = 0;
    int64_t headerSize = 0;
    int64_t size = 0; // the whole box; may run past the end of a cut file

    bool operator==(const TopLevelBox&) const = default;
};

// The boxes at the top level of an ISO file, found without reading their
// payloads. Nothing when the file does not start like a movie file.
namespace MovieFileLayout {
// Reads exactly `count` bytes at `offset` into `into`; false when it can't.
using Reader = std::function<bool(int64_t offset, size_t count, uint8_t* into)>;

inline constexpr int maxTopLevelBoxes = 4096;
// A larger movie box is refused rather than read into memory.
inline constexpr int64_t maxMovieBoxBytes = int64_t{1} << 30;

std::optional<std::vector<TopLevelBox>> walk(const Reader& read, int64_t fileSize);
// The payload of the first "moov" box; nothing when there is none; throws
// MovieBoxError when it runs past the end of the file or can't be read.
std::optional<std::vector<uint8_t>> moviePayload(const Reader& read, int64_t fileSize);
} // namespace MovieFileLayout

// A sample description entry: the codec's four-character code, its picture
// size or sound format and the boxes it carries (avcC, hvcC, colr, esds...).
struct MovieSampleEntry {
    std::string format;
    uint16_t dataReferenceIndex = 0;
    int64_t width = 0, height = 0;            // visual entries
    int64_t channelCount = 0, sampleRate = 0; // sound entries
    std::vector<std::pair<std::string, std::vector<uint8_t>>> boxes;

    // The payload of the first child box of that type.
    const std::vector<uint8_t>* box(std::string_view type) const;
};

// The descriptors inside an "esds" box (MPEG-4 systems), as sample entries
// of MPEG-4 video and AAC sound carry them.
namespace ElementaryStreamDescriptor {
struct DecoderConfig {
    uint8_t objectTypeIndication = 0; // 0x40 for MPEG-4 audio
    std::vector<uint8_t> specificInfo;
    bool operator==(const DecoderConfig&) const = default;
};
// The decoder configuration descriptor with its decoder-specific info;
// nothing when the descriptors don't hold together or there is no info.
std::optional<DecoderConfig> decoderConfig(std::span<const uint8_t> esds);
// The decoder-specific info of its decoder configuration descriptor (for AAC
// the AudioSpecificConfig); nothing when the descriptors don't hold
// together or there is none.
std::optional<std::vector<uint8_t>> decoderSpecificInfo(std::span<const uint8_t> esds);
} // namespace ElementaryStreamDescriptor

// One entry of an edit list, in the units the file stores.
struct MovieEdit {
    int64_t segmentDuration = 0; // movie timescale
    int64_t mediaTime = 0;       // media timescale; -1 for an empty edit
    double rate = 1.0;

    bool isEmpty() const { return mediaTime == -1; }
};

// One sample in decode order, with where its bytes lie.
struct MovieSample {
    int64_t decodeTime = 0;        // media timescale
    int64_t compositionOffset = 0; // presentation minus decode time
    int64_t duration = 0;
    int64_t offset = 0;
    uint32_t size = 0;
    uint32_t descriptionIndex = 0; // zero-based into the sample entries
    bool isSync = false;

    int64_t presentationTime() const { return decodeTime + compositionOffset; }
};

struct MovieTrack {
    uint32_t trackId = 0;
    std::string handler; // "vide", "soun", ...
    bool enabled = true;
    double width = 0, height = 0;               // track header, display units
    std::array<double, 6> transform{1, 0, 0, 1, 0, 0}; // a, b, c, d, tx, ty
    uint32_t mediaTimescale = 0;
    int64_t mediaDuration = 0;
    std::optional<std::vector<MovieEdit>> edits; // absent without an edit list
    std::vector<MovieSampleEntry> sampleEntries;
    std::vector<bool> dataInFile; // per data reference: the bytes are in this file

    // Declared number of samples (sample size box).
    uint64_t sampleCount() const;
    // Every sample in decode order. Throws MovieBoxError when the tables
    // disagree, or when there are more than `limit` samples.
    std::vector<MovieSample> samples(uint64_t limit) const;

    // Where the sample tables lie inside the movie box's bytes.
    struct Table {
        size_t offset = 0, size = 0; // payload of the box
        bool present = false;
    };
    struct Tables {
        Table stts, ctts, stss, stsz, stz2, stsc, stco, co64;
    } tables;
    std::shared_ptr<const std::vector<uint8_t>> bytes;
};

struct MovieBox {
    uint32_t timescale = 0;
    int64_t duration = 0;
    bool fragmented = false; // carries a movie extends box
    std::vector<MovieTrack> tracks;

    // Reads the payload of a "moov" box. Throws MovieBoxError.
    static MovieBox parse(std::vector<uint8_t> payload);
};

} // namespace korvel
