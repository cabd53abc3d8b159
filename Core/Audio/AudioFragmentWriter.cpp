#include "Core/Audio/AudioFragmentWriter.hpp"

#include "Core/Jobs.hpp"
#include "Core/Render/MP4BoxWriter.hpp"

#include <limits>

namespace korvel::AudioFragmentWriter {

using namespace MP4BoxWriter;

namespace {

// Every number goes into a 32-bit field: one that does not fit is refused
// instead of wrapping into a file that plays wrong.
uint32_t field(int64_t value) {
    if (value < 0 || value > std::numeric_limits<uint32_t>::max()) {
        throw EngineFailure::internalError("This audio segment does not fit the segment file format.");
    }
    return static_cast<uint32_t>(value);
}

Bytes descriptor(uint8_t tag, const Bytes& payload) {
    Bytes out{tag, static_cast<uint8_t>(payload.size())};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes esds(const AudioFragmentFormat& f) {
    int index = 3;
    if (auto it = frequencyIndexes().find(f.sampleRate); it != frequencyIndexes().end()) index = it->second;
    const auto channels = static_cast<uint16_t>(f.channelCount & 0xF);
    const uint16_t config = static_cast<uint16_t>((2u << 11) | (static_cast<uint16_t>(index) << 7) | (channels << 3));
    Bytes specific;
    appendU16(specific, config);
    Bytes decoderConfig{0x40, 0x15};
    appendZeros(decoderConfig, 3);
    appendU32(decoderConfig, field(f.bitRate));
    appendU32(decoderConfig, field(f.bitRate));
    const Bytes specificDescriptor = descriptor(0x05, specific);
    decoderConfig.insert(decoderConfig.end(), specificDescriptor.begin(), specificDescriptor.end());
    Bytes es;
    appendU16(es, 0);
    appendU8(es, 0);
    const Bytes decoderDescriptor = descriptor(0x04, decoderConfig);
    es.insert(es.end(), decoderDescriptor.begin(), decoderDescriptor.end());
    const Bytes sl = descriptor(0x06, Bytes{0x02});
    es.insert(es.end(), sl.begin(), sl.end());
    return fullBox("esds", 0, 0, descriptor(0x03, es));
}

Bytes moov(const AudioFragmentFormat& f, int64_t skipFrames) {
    const uint32_t rate = field(f.sampleRate);
    Bytes mvhd;
    appendU32(mvhd, 0);
    appendU32(mvhd, 0);
    appendU32(mvhd, rate);
    appendU32(mvhd, 0);
    appendU32(mvhd, 0x00010000);
    appendU16(mvhd, 0x0100);
    appendZeros(mvhd, 10);
    const Bytes matrix = identityMatrix();
    mvhd.insert(mvhd.end(), matrix.begin(), matrix.end());
    appendZeros(mvhd, 24);
    appendU32(mvhd, 2);

    Bytes tkhd;
    for (uint32_t v : {0u, 0u, 1u, 0u, 0u}) appendU32(tkhd, v);
    appendZeros(tkhd, 8);
    appendU16(tkhd, 0);
    appendU16(tkhd, 0);
    appendU16(tkhd, 0x0100);
    appendU16(tkhd, 0);
    tkhd.insert(tkhd.end(), matrix.begin(), matrix.end());
    appendU32(tkhd, 0);
    appendU32(tkhd, 0);

    Bytes elst;
    appendU32(elst, 1);
    appendU32(elst, 0);
    appendU32(elst, field(skipFrames));
    appendU16(elst, 1);
    appendU16(elst, 0);

    Bytes mdhd;
    appendU32(mdhd, 0);
    appendU32(mdhd, 0);
    appendU32(mdhd, rate);
    appendU32(mdhd, 0);
    appendU16(mdhd, 0x55C4);
    appendU16(mdhd, 0);

    Bytes hdlr;
    appendU32(hdlr, 0);
    appendType(hdlr, "soun");
    appendZeros(hdlr, 12);
    for (char c : std::string_view("sound")) appendU8(hdlr, static_cast<uint8_t>(c));
    appendU8(hdlr, 0);

    Bytes smhd;
    appendU16(smhd, 0);
    appendU16(smhd, 0);

    Bytes dref;
    appendU32(dref, 1);
    const Bytes url = fullBox("url ", 0, 1, {});
    dref.insert(dref.end(), url.begin(), url.end());

    Bytes mp4a;
    appendZeros(mp4a, 6);
    appendU16(mp4a, 1);
    appendZeros(mp4a, 8);
    if (f.channelCount < 0 || f.channelCount > 0xFFFF) field(-1);
    appendU16(mp4a, static_cast<uint16_t>(f.channelCount));
    appendU16(mp4a, 16);
    appendZeros(mp4a, 4);
    if (f.sampleRate > 0xFFFF) field(-1);
    appendU32(mp4a, rate << 16);
    const Bytes es = esds(f);
    mp4a.insert(mp4a.end(), es.begin(), es.end());

    Bytes stsd;
    appendU32(stsd, 1);
    const Bytes entry = box("mp4a", mp4a);
    stsd.insert(stsd.end(), entry.begin(), entry.end());

    Bytes empty4;
    appendU32(empty4, 0);
    Bytes stszBody;
    appendU32(stszBody, 0);
    appendU32(stszBody, 0);

    const Bytes stbl = box("stbl", join({fullBox("stsd", 0, 0, stsd), fullBox("stts", 0, 0, empty4),
                                         fullBox("stsc", 0, 0, empty4), fullBox("stsz", 0, 0, stszBody),
                                         fullBox("stco", 0, 0, empty4)}));
    const Bytes minf =
        box("minf", join({fullBox("smhd", 0, 0, smhd), box("dinf", fullBox("dref", 0, 0, dref)), stbl}));
    const Bytes mdia = box("mdia", join({fullBox("mdhd", 0, 0, mdhd), fullBox("hdlr", 0, 0, hdlr), minf}));
    const Bytes trak =
        box("trak", join({fullBox("tkhd", 0, 7, tkhd), box("edts", fullBox("elst", 0, 0, elst)), mdia}));

    Bytes trex;
    for (uint32_t v : {1u, 1u, 1024u, 0u, 0u}) appendU32(trex, v);
    return box("moov", join({fullBox("mvhd", 0, 0, mvhd), trak, box("mvex", fullBox("trex", 0, 0, trex))}));
}

Bytes moof(const std::vector<std::vector<uint8_t>>& packets, uint32_t dataOffset) {
    Bytes mfhd;
    appendU32(mfhd, 1);
    Bytes tfhd;
    appendU32(tfhd, 1);
    Bytes tfdt;
    appendU64(tfdt, 0);
    Bytes trun;
    appendU32(trun, field(static_cast<int64_t>(packets.size())));
    appendU32(trun, dataOffset);
    for (const auto& p : packets) appendU32(trun, field(static_cast<int64_t>(p.size())));
    const Bytes traf = box("traf", join({fullBox("tfhd", 0, 0x020000, tfhd), fullBox("tfdt", 1, 0, tfdt),
                                         fullBox("trun", 0, 0x000201, trun)}));
    return box("moof", join({fullBox("mfhd", 0, 0, mfhd), traf}));
}

} // namespace

const std::map<int64_t, int>& frequencyIndexes() {
    static const std::map<int64_t, int> table{{48'000, 3}, {44'100, 4}};
    return table;
}

std::vector<uint8_t> fragment(const AudioFragmentFormat& format, const std::vector<std::vector<uint8_t>>& packets,
                              int64_t skipFrames) {
    Bytes ftyp;
    appendType(ftyp, "iso6");
    appendU32(ftyp, 1);
    for (auto brand : {"iso6", "isom", "mp41"}) appendType(ftyp, brand);
    const Bytes head = join({box("ftyp", ftyp), moov(format, skipFrames)});

    const size_t moofSize = moof(packets, 0).size();
    const Bytes fragmentBox = moof(packets, field(static_cast<int64_t>(moofSize) + 8));
    size_t payload = 0;
    for (const auto& p : packets) payload += p.size();
    field(static_cast<int64_t>(payload) + 8);

    Bytes out;
    out.reserve(head.size() + fragmentBox.size() + payload + 8);
    out.insert(out.end(), head.begin(), head.end());
    out.insert(out.end(), fragmentBox.begin(), fragmentBox.end());
    appendU32(out, static_cast<uint32_t>(payload + 8));
    appendType(out, "mdat");
    for (const auto& p : packets) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<uint8_t> fragment(const EncodedAudioStream& stream, const EncodedAudioStream::Window& window) {
    if (window.firstPacket < 0 || window.endPacket < window.firstPacket ||
        window.endPacket > static_cast<int64_t>(stream.packets.size())) {
        throw EngineFailure::internalError("This audio segment does not fit the segment file format.");
    }
    std::vector<std::vector<uint8_t>> packets(stream.packets.begin() + window.firstPacket,
                                              stream.packets.begin() + window.endPacket);
    return fragment({stream.channelCount, stream.bitRate, 48'000}, packets, window.skipFrames);
}

} // namespace korvel::AudioFragmentWriter
