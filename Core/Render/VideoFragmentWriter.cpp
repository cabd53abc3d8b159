#include "Core/Render/VideoFragmentWriter.hpp"

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

Bytes mvhd(uint32_t timescale) {
    Bytes p;
    appendU32(p, 0);  // creation
    appendU32(p, 0);  // modification
    appendU32(p, timescale);
    appendU32(p, 0);  // duration: the fragments carry it
    appendU32(p, 0x00010000);
    appendU16(p, 0x0100);
    appendZeros(p, 10);
    auto unity = identityMatrix();
    p.insert(p.end(), unity.begin(), unity.end());
    appendZeros(p, 24);
    appendU32(p, 2);  // next track ID
    return fullBox("mvhd", 0, 0, p);
}

Bytes tkhd(const CopiedVideoFormat& format) {
    Bytes p;
    appendU32(p, 0);
    appendU32(p, 0);
    appendU32(p, 1);  // track ID
    appendU32(p, 0);
    appendU32(p, 0);
    appendZeros(p, 8);
    appendU16(p, 0);  // layer
    appendU16(p, 0);  // alternate group
    appendU16(p, 0);  // volume
    appendU16(p, 0);
    for (int32_t v : format.matrix) appendU32(p, static_cast<uint32_t>(v));
    appendU32(p, static_cast<uint32_t>(format.width) << 16);
    appendU32(p, static_cast<uint32_t>(format.height) << 16);
    return fullBox("tkhd", 0, 7, p);
}

Bytes mdia(const CopiedVideoFormat& format, uint32_t timescale) {
    Bytes mdhdP;
    appendU32(mdhdP, 0);
    appendU32(mdhdP, 0);
    appendU32(mdhdP, timescale);
    appendU32(mdhdP, 0);
    appendU16(mdhdP, 0x55C4);  // "und"
    appendU16(mdhdP, 0);
    Bytes mdhd = fullBox("mdhd", 0, 0, mdhdP);

    Bytes hdlrP;
    appendU32(hdlrP, 0);
    appendType(hdlrP, "vide");
    appendZeros(hdlrP, 12);
    for (char c : std::string_view("video")) hdlrP.push_back(static_cast<uint8_t>(c));
    hdlrP.push_back(0);
    Bytes hdlr = fullBox("hdlr", 0, 0, hdlrP);

    Bytes vmhdP;
    appendZeros(vmhdP, 8);
    Bytes vmhd = fullBox("vmhd", 0, 1, vmhdP);

    Bytes drefP;
    appendU32(drefP, 1);
    Bytes url = fullBox("url ", 0, 1, {});
    drefP.insert(drefP.end(), url.begin(), url.end());
    Bytes dinf = box("dinf", fullBox("dref", 0, 0, drefP));

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
    Bytes stsdP;
    appendU32(stsdP, 1);
    Bytes sampleEntry = box(format.sampleEntry, entry);
    stsdP.insert(stsdP.end(), sampleEntry.begin(), sampleEntry.end());

    Bytes zero4(4, 0), zero8(8, 0);
    Bytes stbl = box("stbl", join({fullBox("stsd", 0, 0, stsdP), fullBox("stts", 0, 0, zero4),
                                   fullBox("stsc", 0, 0, zero4), fullBox("stsz", 0, 0, zero8),
                                   fullBox("stco", 0, 0, zero4)}));
    Bytes minf = box("minf", join({vmhd, dinf, stbl}));
    return box("mdia", join({mdhd, hdlr, minf}));
}

Bytes moov(const CopiedVideoFormat& format, uint32_t timescale) {
    Bytes trak = box("trak", join({tkhd(format), mdia(format, timescale)}));
    Bytes trexP;
    appendU32(trexP, 1);  // track ID
    appendU32(trexP, 1);  // sample description index
    appendU32(trexP, 0);
    appendU32(trexP, 0);
    appendU32(trexP, 0);
    Bytes mvex = box("mvex", fullBox("trex", 0, 0, trexP));
    return box("moov", join({mvhd(timescale), trak, mvex}));
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

} // namespace

Bytes fragment(const CopiedVideoFormat& format, uint32_t timescale, const std::vector<CopiedSample>& samples,
               std::span<const uint8_t> payload) {
    if (format.width < 0 || format.width >= 65536 || format.height < 0 || format.height >= 65536)
        throw std::length_error("picture size does not fit 16 bits");
    // A moof of 88 + 16n bytes must leave room for the mdat header in 32 bits.
    if (samples.size() > (0xFFFFFFFFull - 96) / 16) throw std::length_error("too many samples for one fragment");
    uint64_t total = 0;
    for (const auto& s : samples) total += s.size;
    if (total != payload.size()) throw std::invalid_argument("sample sizes do not add up to the payload");
    if (payload.size() >= 0xFFFFFFFFull - 7) throw std::length_error("payload too large for a 32-bit box size");

    Bytes header = join({ftyp(), moov(format, timescale)});
    uint32_t moofSize = static_cast<uint32_t>(moof(samples, 0).size());
    Bytes fragmentBox = moof(samples, moofSize + 8);
    return join({header, fragmentBox, box("mdat", payload)});
}

} // namespace korvel::VideoFragmentWriter
