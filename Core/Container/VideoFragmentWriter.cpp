#include "Core/Container/VideoFragmentWriter.hpp"

#include <algorithm>
#include <stdexcept>

namespace korvel::VideoFragmentWriter {

using namespace MP4BoxWriter;

namespace {

Bytes ftyp() {
    Bytes p;
    appendType(p, "iso6");
    appendU32(p, 1);
    for (auto brand : {"iso6", "isom", "mp41"}) appendType(p, brand);
    return box("ftyp", p);
}

Bytes sampleEntry(const CopiedVideoFormat& format) {
    Bytes entry;
    appendZeros(entry, 6);
    appendU16(entry, 1);  // data reference index
    appendZeros(entry, 16);
    appendU16(entry, static_cast<uint16_t>(format.width));
    appendU16(entry, static_cast<uint16_t>(format.height));
    appendU32(entry, 0x00480000);
    appendU32(entry, 0x00480000);
    appendU32(entry, 0);
    appendU16(entry, 1);  // frame count
    appendZeros(entry, 32);
    appendU16(entry, 0x0018);
    appendU16(entry, 0xFFFF);
    Bytes config = box(format.configBox, format.config);
    entry.insert(entry.end(), config.begin(), config.end());
    if (format.color) {
        Bytes colr = box("colr", *format.color);
        entry.insert(entry.end(), colr.begin(), colr.end());
    }
    return box(format.sampleEntry, entry);
}

Bytes moov(const CopiedVideoFormat& format, uint32_t timescale) {
    return movie({Track::Media::video, timescale, format.matrix, static_cast<uint32_t>(format.width),
                  static_cast<uint32_t>(format.height), sampleEntry(format), std::nullopt, 0});
}

Bytes moof(const std::vector<CopiedSample>& samples, uint32_t dataOffset) {
    Bytes mfhdP;
    appendU32(mfhdP, 1);
    Bytes tfhdP;
    appendU32(tfhdP, 1);
    Bytes tfdtP;
    appendU64(tfdtP, 0);
    Bytes trunP;
    appendU32(trunP, static_cast<uint32_t>(samples.size()));
    appendU32(trunP, dataOffset);
    for (const auto& s : samples) {
        appendU32(trunP, s.duration);
        appendU32(trunP, s.size);
        appendU32(trunP, s.isSync ? 0x02000000u : 0x01010000u);
        appendU32(trunP, static_cast<uint32_t>(s.compositionOffset));
    }
    Bytes traf = box("traf", join({fullBox("tfhd", 0, 0x020000, tfhdP), fullBox("tfdt", 1, 0, tfdtP),
                                   fullBox("trun", 1, 0x000F01, trunP)}));
    return box("moof", join({fullBox("mfhd", 0, 0, mfhdP), traf}));
}

// ftyp, moov, moof and the mdat header of a payload of `payloadSize` bytes.
Bytes boxesBefore(const CopiedVideoFormat& format, uint32_t timescale, const std::vector<CopiedSample>& samples,
                  size_t payloadSize) {
    if (format.width < 0 || format.width >= 65536 || format.height < 0 || format.height >= 65536)
        throw std::length_error("picture size does not fit 16 bits");
    // A moof of 88 + 16n bytes must leave room for the mdat header in 32 bits.
    if (samples.size() > (0xFFFFFFFFull - 96) / 16) throw std::length_error("too many samples for one fragment");
    uint64_t total = 0;
    for (const auto& s : samples) total += s.size;
    if (total != payloadSize) throw std::invalid_argument("sample sizes do not add up to the payload");
    if (payloadSize >= 0xFFFFFFFFull - 7) throw std::length_error("payload too large for a 32-bit box size");

    Bytes header = join({ftyp(), moov(format, timescale)});
    uint32_t moofSize = static_cast<uint32_t>(moof(samples, 0).size());
    Bytes fragmentBox = moof(samples, moofSize + 8);
    header.insert(header.end(), fragmentBox.begin(), fragmentBox.end());
    appendU32(header, static_cast<uint32_t>(payloadSize + 8));
    appendType(header, "mdat");
    return header;
}

} // namespace

Bytes fragment(const CopiedVideoFormat& format, uint32_t timescale, const std::vector<CopiedSample>& samples,
               std::span<const uint8_t> payload) {
    Bytes out = boxesBefore(format, timescale, samples, payload.size());
    // The payload is most of the file: it is copied once, straight into
    // its place after the mdat header.
    out.reserve(out.size() + payload.size());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

void fragmentAround(const CopiedVideoFormat& format, uint32_t timescale, const std::vector<CopiedSample>& samples,
                    Bytes& file, size_t at) {
    if (at > file.size()) throw std::invalid_argument("the payload starts past the file");
    const Bytes boxes = boxesBefore(format, timescale, samples, file.size() - at);
    if (boxes.size() <= at) {
        const auto spare = static_cast<ptrdiff_t>(at - boxes.size());
        std::copy(boxes.begin(), boxes.end(), file.begin() + spare);
        file.erase(file.begin(), file.begin() + spare);
    } else {
        file.insert(file.begin(), boxes.size() - at, 0);
        std::copy(boxes.begin(), boxes.end(), file.begin());
    }
}

} // namespace korvel::VideoFragmentWriter
