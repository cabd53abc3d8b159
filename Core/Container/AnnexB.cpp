#include "Core/Container/AnnexB.hpp"

#include <algorithm>
#include <stdexcept>

namespace korvel::AnnexB {

namespace {

constexpr int h264SPS = 7, h264PPS = 8, h264SPSExtension = 13;
constexpr int hevcVPS = 32, hevcSPS = 33, hevcPPS = 34;
// Past these a record's counts overflow their fields.
constexpr size_t maxAVCSequenceSets = 31, maxRecordUnitBytes = 0xffff;

int h264Type(Unit u) { return u[0] & 0x1f; }
int hevcType(Unit u) { return (u[0] >> 1) & 0x3f; }

struct Unreadable : std::runtime_error {
    Unreadable() : std::runtime_error("parameter set runs short") {}
};

// Reads the payload of a unit with its emulation prevention bytes removed.
class BitReader {
public:
    BitReader(Unit unit, size_t headerBytes) {
        int zeros = 0;
        for (size_t i = headerBytes; i < unit.size(); ++i) {
            if (zeros >= 2 && unit[i] == 3) {
                zeros = 0;
                continue;
            }
            zeros = unit[i] == 0 ? zeros + 1 : 0;
            rbsp_.push_back(unit[i]);
        }
    }
    uint64_t bits(int n) {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i) {
            if (position_ >= rbsp_.size() * 8) throw Unreadable{};
            v = (v << 1) | ((rbsp_[position_ / 8] >> (7 - position_ % 8)) & 1);
            ++position_;
        }
        return v;
    }
    bool flag() { return bits(1) != 0; }
    uint64_t ue() {
        int zeros = 0;
        while (!flag()) {
            if (++zeros > 31) throw Unreadable{};
        }
        return (uint64_t{1} << zeros) - 1 + bits(zeros);
    }
    void skip(int n) { bits(n); }

private:
    std::vector<uint8_t> rbsp_;
    size_t position_ = 0;
};

void put16(std::vector<uint8_t>& out, size_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void putUnit16(std::vector<uint8_t>& out, Unit u) {
    put16(out, u.size());
    out.insert(out.end(), u.begin(), u.end());
}

void putUnit32(std::vector<uint8_t>& out, Unit u) {
    const auto len = static_cast<uint32_t>(u.size());
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(len >> s));
    out.insert(out.end(), u.begin(), u.end());
}

struct AVCSequenceFormat {
    int chromaFormat = 1;
    int lumaDepth = 8, chromaDepth = 8;
};

// Profiles whose SPS carries chroma format and bit depths.
bool hasChromaFields(uint64_t profile) {
    static constexpr uint64_t profiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
    return std::find(std::begin(profiles), std::end(profiles), profile) != std::end(profiles);
}

AVCSequenceFormat avcSequenceFormat(Unit sps) {
    BitReader r(sps, 1);
    const uint64_t profile = r.bits(8);
    r.skip(16); // constraint flags, level
    r.ue();     // seq_parameter_set_id
    // Values past these are no stream's, and past int a damaged one's.
    auto atMost = [](uint64_t v, uint64_t most) {
        if (v > most) throw Unreadable{};
        return static_cast<int>(v);
    };
    AVCSequenceFormat out;
    if (hasChromaFields(profile)) {
        out.chromaFormat = atMost(r.ue(), 3);
        if (out.chromaFormat == 3) r.skip(1); // separate_colour_plane_flag
        out.lumaDepth = atMost(r.ue(), 6) + 8;
        out.chromaDepth = atMost(r.ue(), 6) + 8;
    }
    return out;
}

// The fields an hvcC gathers from the VPS and SPS, merged the way MP4
// muxers merge them: the highest tier, profile and level, the flags all
// units share.
struct HEVCRecordFields {
    int profileSpace = 0, tier = 0, profile = 0, level = 0;
    uint32_t compatibility = 0xffffffff;
    uint64_t constraints = 0xffffffffffff;
    int chromaFormat = 0, lumaDepthMinus8 = 0, chromaDepthMinus8 = 0;
    int temporalLayers = 0, temporalIdNested = 0;

    void profileTierLevel(BitReader& r, int subLayersMinus1) {
        const int space = static_cast<int>(r.bits(2));
        const int unitTier = static_cast<int>(r.bits(1));
        const int unitProfile = static_cast<int>(r.bits(5));
        const auto unitCompatibility = static_cast<uint32_t>(r.bits(32));
        const uint64_t unitConstraints = r.bits(48);
        const int unitLevel = static_cast<int>(r.bits(8));
        profileSpace = space;
        level = tier < unitTier ? unitLevel : std::max(level, unitLevel);
        tier = std::max(tier, unitTier);
        profile = std::max(profile, unitProfile);
        compatibility &= unitCompatibility;
        constraints &= unitConstraints;
        // The sub-layers' own profiles and levels are read past, not kept.
        std::vector<bool> profilePresent, levelPresent;
        for (int i = 0; i < subLayersMinus1; ++i) {
            profilePresent.push_back(r.flag());
            levelPresent.push_back(r.flag());
        }
        if (subLayersMinus1 > 0) r.skip(2 * (8 - subLayersMinus1));
        for (int i = 0; i < subLayersMinus1; ++i) {
            if (profilePresent[i]) r.skip(88);
            if (levelPresent[i]) r.skip(8);
        }
    }

    void videoParameterSet(Unit vps) {
        BitReader r(vps, 2);
        r.skip(12); // id, reserved, max layers
        const int subLayersMinus1 = static_cast<int>(r.bits(3));
        temporalLayers = std::max(temporalLayers, subLayersMinus1 + 1);
        r.skip(17); // temporal id nesting, reserved
        profileTierLevel(r, subLayersMinus1);
    }

    void sequenceParameterSet(Unit sps) {
        BitReader r(sps, 2);
        r.skip(4); // video parameter set id
        const int subLayersMinus1 = static_cast<int>(r.bits(3));
        temporalLayers = std::max(temporalLayers, subLayersMinus1 + 1);
        temporalIdNested = static_cast<int>(r.bits(1));
        profileTierLevel(r, subLayersMinus1);
        r.ue(); // seq_parameter_set_id
        const uint64_t chroma = r.ue();
        if (chroma > 3) throw Unreadable{};
        chromaFormat = static_cast<int>(chroma);
        if (chromaFormat == 3) r.skip(1); // separate_colour_plane_flag
        r.ue();                           // width
        r.ue();                           // height
        if (r.flag()) {                   // conformance window
            for (int i = 0; i < 4; ++i) r.ue();
        }
        const uint64_t luma = r.ue(), chromaDepth = r.ue();
        if (luma > 8 || chromaDepth > 8) throw Unreadable{};
        lumaDepthMinus8 = static_cast<int>(luma);
        chromaDepthMinus8 = static_cast<int>(chromaDepth);
    }
};

std::vector<Unit> ofType(std::span<const Unit> units, int type, int (*typeOf)(Unit), size_t headerBytes) {
    std::vector<Unit> out;
    for (Unit u : units) {
        if (u.size() > headerBytes && u.size() <= maxRecordUnitBytes && typeOf(u) == type) out.push_back(u);
    }
    return out;
}

} // namespace

bool startsWithStartCode(std::span<const uint8_t> b) {
    if (b.size() >= 3 && b[0] == 0 && b[1] == 0 && b[2] == 1) return true;
    return b.size() >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 1;
}

std::vector<Unit> units(std::span<const uint8_t> s) {
    std::vector<Unit> out;
    const size_t n = s.size();
    size_t i = 0, start = SIZE_MAX;
    auto close = [&](size_t end) {
        if (end > start) out.push_back(s.subspan(start, end - start));
    };
    while (i + 2 < n) {
        if (s[i + 2] > 1) {
            i += 3;
        } else if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            // One zero before the code makes it a 4-byte code; further zeros
            // stay with the unit, as MP4 muxers keep them (some encoders end
            // an SEI with one).
            if (start != SIZE_MAX) close(i > start && s[i - 1] == 0 ? i - 1 : i);
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    if (start != SIZE_MAX) close(n);
    return out;
}

std::vector<uint8_t> lengthPrefixed(std::span<const uint8_t> stream) {
    std::vector<uint8_t> out;
    out.reserve(stream.size() + 16);
    appendLengthPrefixed(stream, out);
    return out;
}

size_t appendLengthPrefixed(std::span<const uint8_t> stream, std::vector<uint8_t>& out) {
    const size_t before = out.size();
    for (Unit u : units(stream)) putUnit32(out, u);
    return out.size() - before;
}

std::optional<std::vector<Unit>> prefixedUnits(std::span<const uint8_t> bytes, int lengthSize) {
    if (lengthSize != 1 && lengthSize != 2 && lengthSize != 4) return std::nullopt;
    std::vector<Unit> out;
    size_t at = 0;
    const auto width = static_cast<size_t>(lengthSize);
    while (at < bytes.size()) {
        if (bytes.size() - at < width) return std::nullopt;
        size_t len = 0;
        for (size_t k = 0; k < width; ++k) len = (len << 8) | bytes[at + k];
        at += width;
        if (len == 0 || len > bytes.size() - at) return std::nullopt;
        out.push_back(bytes.subspan(at, len));
        at += len;
    }
    if (out.empty()) return std::nullopt;
    return out;
}

std::optional<std::vector<uint8_t>> sampleWithFourByteLengths(std::span<const uint8_t> bytes,
                                                              std::optional<int> lengthSize) {
    if (lengthSize) {
        if (*lengthSize == 4 && prefixedUnits(bytes, 4)) return std::vector<uint8_t>(bytes.begin(), bytes.end());
        if (auto found = prefixedUnits(bytes, *lengthSize)) {
            std::vector<uint8_t> out;
            out.reserve(bytes.size() + 3 * found->size());
            for (Unit u : *found) putUnit32(out, u);
            return out;
        }
    }
    if (!startsWithStartCode(bytes)) return std::nullopt;
    auto out = lengthPrefixed(bytes);
    if (out.empty()) return std::nullopt;
    return out;
}

bool isConfigurationRecord(std::span<const uint8_t> bytes, Codec codec) {
    return recordUnits(bytes, codec).has_value();
}

std::optional<int> recordLengthSize(std::span<const uint8_t> record, Codec codec) {
    const size_t at = codec == Codec::h264 ? 4 : 21;
    if (record.size() <= at || record[0] != 1) return std::nullopt;
    const int size = (record[at] & 3) + 1;
    if (size == 3) return std::nullopt;
    return size;
}

std::optional<std::vector<Unit>> recordUnits(std::span<const uint8_t> record, Codec codec) {
    if (!recordLengthSize(record, codec)) return std::nullopt;
    std::vector<Unit> out;
    size_t at = 0;
    bool shortOfBytes = false;
    auto byte = [&]() -> size_t {
        if (at >= record.size()) {
            shortOfBytes = true;
            return 0;
        }
        return record[at++];
    };
    auto unit = [&]() {
        const size_t len = byte() << 8 | byte();
        if (shortOfBytes || len == 0 || len > record.size() - at) {
            shortOfBytes = true;
            return;
        }
        out.push_back(record.subspan(at, len));
        at += len;
    };
    if (codec == Codec::h264) {
        at = 5;
        const size_t sequenceSets = byte() & 0x1f;
        for (size_t i = 0; i < sequenceSets && !shortOfBytes; ++i) unit();
        const size_t pictureSets = byte();
        for (size_t i = 0; i < pictureSets && !shortOfBytes; ++i) unit();
        // The extension fields after them are optional and hold no unit a
        // decoder needs up front beyond SPS extensions, rare enough to leave.
    } else {
        at = 22;
        const size_t arrays = byte();
        for (size_t a = 0; a < arrays && !shortOfBytes; ++a) {
            byte(); // completeness, type
            const size_t count = byte() << 8 | byte();
            for (size_t i = 0; i < count && !shortOfBytes; ++i) unit();
        }
    }
    if (shortOfBytes) return std::nullopt;
    return out;
}

std::optional<std::vector<uint8_t>> avcConfiguration(std::span<const Unit> units) {
    const auto sps = ofType(units, h264SPS, h264Type, 1);
    const auto pps = ofType(units, h264PPS, h264Type, 1);
    const auto extensions = ofType(units, h264SPSExtension, h264Type, 1);
    if (sps.empty() || pps.empty() || sps[0].size() < 4) return std::nullopt;
    if (sps.size() > maxAVCSequenceSets || pps.size() > 0xff || extensions.size() > 0xff) return std::nullopt;
    AVCSequenceFormat format;
    try {
        format = avcSequenceFormat(sps[0]);
    } catch (const Unreadable&) {
        return std::nullopt;
    }
    const uint8_t profile = sps[0][1];
    std::vector<uint8_t> out{1, profile, sps[0][2], sps[0][3], 0xff, static_cast<uint8_t>(0xe0 | sps.size())};
    for (Unit u : sps) putUnit16(out, u);
    out.push_back(static_cast<uint8_t>(pps.size()));
    for (Unit u : pps) putUnit16(out, u);
    // Baseline, main and extended records end here; the others say their
    // chroma format and bit depths, as MP4 muxers write them.
    if (profile != 66 && profile != 77 && profile != 88) {
        out.push_back(static_cast<uint8_t>(0xfc | format.chromaFormat));
        out.push_back(static_cast<uint8_t>(0xf8 | (format.lumaDepth - 8)));
        out.push_back(static_cast<uint8_t>(0xf8 | (format.chromaDepth - 8)));
        out.push_back(static_cast<uint8_t>(extensions.size()));
        for (Unit u : extensions) putUnit16(out, u);
    }
    return out;
}

std::optional<std::vector<uint8_t>> hevcConfiguration(std::span<const Unit> units) {
    const std::vector<Unit> sets[] = {ofType(units, hevcVPS, hevcType, 2), ofType(units, hevcSPS, hevcType, 2),
                                      ofType(units, hevcPPS, hevcType, 2)};
    for (const auto& s : sets) {
        if (s.empty() || s.size() > 0xffff) return std::nullopt;
    }
    HEVCRecordFields f;
    try {
        for (Unit u : sets[0]) f.videoParameterSet(u);
        for (Unit u : sets[1]) f.sequenceParameterSet(u);
    } catch (const Unreadable&) {
        return std::nullopt;
    }
    std::vector<uint8_t> out{1, static_cast<uint8_t>(f.profileSpace << 6 | f.tier << 5 | f.profile)};
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(f.compatibility >> s));
    for (int s = 40; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(f.constraints >> s));
    out.push_back(static_cast<uint8_t>(f.level));
    // No spatial segmentation or parallelism promise: a decoder then plans
    // for none, which every stream satisfies.
    put16(out, 0xf000);
    out.push_back(0xfc);
    out.push_back(static_cast<uint8_t>(0xfc | f.chromaFormat));
    out.push_back(static_cast<uint8_t>(0xf8 | f.lumaDepthMinus8));
    out.push_back(static_cast<uint8_t>(0xf8 | f.chromaDepthMinus8));
    put16(out, 0); // average frame rate unknown
    constexpr int lengthSizeMinusOne = 3;
    out.push_back(static_cast<uint8_t>((f.temporalLayers & 7) << 3 | f.temporalIdNested << 2 | lengthSizeMinusOne));
    out.push_back(3);
    constexpr int types[] = {hevcVPS, hevcSPS, hevcPPS};
    for (int a = 0; a < 3; ++a) {
        // Complete: the samples may repeat them but bring no other.
        out.push_back(static_cast<uint8_t>(0x80 | types[a]));
        put16(out, sets[a].size());
        for (Unit u : sets[a]) putUnit16(out, u);
    }
    return out;
}

std::optional<std::vector<uint8_t>> configuration(std::span<const Unit> units, Codec codec) {
    return codec == Codec::h264 ? avcConfiguration(units) : hevcConfiguration(units);
}

std::vector<uint8_t> avcC(std::span<const uint8_t> parameterSets) {
    const auto found = units(parameterSets);
    return avcConfiguration(found).value_or(std::vector<uint8_t>{});
}

} // namespace korvel::AnnexB
