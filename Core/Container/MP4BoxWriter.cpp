#include "Core/Container/MP4BoxWriter.hpp"

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
    for (int32_t v : unityMatrix) appendU32(out, static_cast<uint32_t>(v));
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

namespace {

Bytes movieHeader(uint32_t timescale) {
    Bytes p;
    appendU32(p, 0); // creation
    appendU32(p, 0); // modification
    appendU32(p, timescale);
    appendU32(p, 0); // duration: the samples are not in the movie box
    appendU32(p, 0x00010000);
    appendU16(p, 0x0100);
    appendZeros(p, 10);
    const Bytes unity = identityMatrix();
    p.insert(p.end(), unity.begin(), unity.end());
    appendZeros(p, 24);
    appendU32(p, 2); // next track ID
    return fullBox("mvhd", 0, 0, p);
}

Bytes trackHeader(const Track& track) {
    Bytes p;
    appendU32(p, 0);
    appendU32(p, 0);
    appendU32(p, 1); // track ID
    appendU32(p, 0);
    appendU32(p, 0);
    appendZeros(p, 8);
    appendU16(p, 0); // layer
    appendU16(p, 0); // alternate group
    appendU16(p, track.media == Track::Media::sound ? 0x0100 : 0); // volume
    appendU16(p, 0);
    for (int32_t v : track.matrix) appendU32(p, static_cast<uint32_t>(v));
    appendU32(p, track.width << 16);
    appendU32(p, track.height << 16);
    return fullBox("tkhd", 0, 7, p);
}

Bytes media(const Track& track) {
    const bool sound = track.media == Track::Media::sound;
    Bytes mdhd;
    appendU32(mdhd, 0);
    appendU32(mdhd, 0);
    appendU32(mdhd, track.timescale);
    appendU32(mdhd, 0);
    appendU16(mdhd, 0x55C4); // "und"
    appendU16(mdhd, 0);

    Bytes hdlr;
    appendU32(hdlr, 0);
    appendType(hdlr, sound ? "soun" : "vide");
    appendZeros(hdlr, 12);
    for (char c : std::string_view(sound ? "sound" : "video")) appendU8(hdlr, static_cast<uint8_t>(c));
    appendU8(hdlr, 0);

    const Bytes mediaHeader = sound ? fullBox("smhd", 0, 0, Bytes(4, 0)) : fullBox("vmhd", 0, 1, Bytes(8, 0));

    Bytes dref;
    appendU32(dref, 1);
    const Bytes url = fullBox("url ", 0, 1, {});
    dref.insert(dref.end(), url.begin(), url.end());

    Bytes stsd;
    appendU32(stsd, 1);
    stsd.insert(stsd.end(), track.sampleEntry.begin(), track.sampleEntry.end());
    const Bytes zero4(4, 0), zero8(8, 0);
    const Bytes stbl = box("stbl", join({fullBox("stsd", 0, 0, stsd), fullBox("stts", 0, 0, zero4),
                                         fullBox("stsc", 0, 0, zero4), fullBox("stsz", 0, 0, zero8),
                                         fullBox("stco", 0, 0, zero4)}));
    const Bytes minf = box("minf", join({mediaHeader, box("dinf", fullBox("dref", 0, 0, dref)), stbl}));
    return box("mdia", join({fullBox("mdhd", 0, 0, mdhd), fullBox("hdlr", 0, 0, hdlr), minf}));
}

} // namespace

Bytes movie(const Track& track) {
    const Bytes edits = track.editList ? box("edts", fullBox("elst", 0, 0, *track.editList)) : Bytes{};
    const Bytes trak = box("trak", join({trackHeader(track), edits, media(track)}));
    Bytes mvex;
    if (track.fragmentSampleDuration) {
        Bytes trex;
        appendU32(trex, 1); // track ID
        appendU32(trex, 1); // sample description index
        appendU32(trex, *track.fragmentSampleDuration);
        appendU32(trex, 0);
        appendU32(trex, 0);
        mvex = box("mvex", fullBox("trex", 0, 0, trex));
    }
    return box("moov", join({movieHeader(track.timescale), trak, mvex}));
}

} // namespace korvel::MP4BoxWriter
