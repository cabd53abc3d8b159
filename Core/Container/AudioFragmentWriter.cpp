#include "Core/Container/AudioFragmentWriter.hpp"

#include "Core/Jobs.hpp"
#include "Core/Container/MP4BoxWriter.hpp"

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
    Bytes elst;
    appendU32(elst, 1);
    appendU32(elst, 0);
    appendU32(elst, field(skipFrames));
    appendU16(elst, 1);
    appendU16(elst, 0);

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

    return movie({Track::Media::sound, rate, unityMatrix, 0, 0, box("mp4a", mp4a), elst, 1024});
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
