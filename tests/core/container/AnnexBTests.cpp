#include "Core/Container/AnnexB.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace korvel;

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> copied(const std::vector<AnnexB::Unit>& units) {
    std::vector<Bytes> out;
    for (auto u : units) out.emplace_back(u.begin(), u.end());
    return out;
}

// Writes fields most significant bit first, as parameter sets are laid out.
struct BitWriter {
    Bytes bytes;
    int used = 8;
    void bits(uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i) {
            if (used == 8) {
                bytes.push_back(0);
                used = 0;
            }
            bytes.back() |= static_cast<uint8_t>(((v >> i) & 1) << (7 - used));
            ++used;
        }
    }
    void ue(uint64_t v) {
        int len = 0;
        while ((v + 1) >> (len + 1)) ++len;
        bits(0, len);
        bits(v + 1, len + 1);
    }
    // With emulation prevention, as a unit is stored.
    Bytes finished() {
        bits(1, 1); // rbsp stop bit
        Bytes out;
        int zeros = 0;
        for (uint8_t b : bytes) {
            if (zeros == 2 && b <= 3) {
                out.push_back(3);
                zeros = 0;
            }
            out.push_back(b);
            zeros = b == 0 ? zeros + 1 : 0;
        }
        return out;
    }
};

// An HEVC profile_tier_level with no sub-layers.
void profileTierLevel(BitWriter& w, int tier, int profile, uint32_t compatibility, int level) {
    w.bits(0, 2);
    w.bits(tier, 1);
    w.bits(profile, 5);
    w.bits(compatibility, 32);
    w.bits(0x900000000000, 48); // progressive, frame only
    w.bits(level, 8);
}

Bytes hevcVPS(int tier, int level) {
    BitWriter w;
    w.bits(0x4001, 16);
    w.bits(0, 4);
    w.bits(3, 2);
    w.bits(0, 6);
    w.bits(0, 3); // one sub-layer
    w.bits(1, 1);
    w.bits(0xffff, 16);
    profileTierLevel(w, tier, 1, 0x60000000, level);
    return w.finished();
}

Bytes hevcSPS(int tier, int level, int chroma, int lumaDepth, int chromaDepth) {
    BitWriter w;
    w.bits(0x4201, 16);
    w.bits(0, 4);
    w.bits(0, 3);
    w.bits(1, 1); // temporal id nesting
    profileTierLevel(w, tier, 2, 0x20000000, level);
    w.ue(0);
    w.ue(chroma);
    if (chroma == 3) w.bits(0, 1);
    w.ue(320);
    w.ue(240);
    w.bits(1, 1); // conformance window
    for (int i = 0; i < 4; ++i) w.ue(i);
    w.ue(lumaDepth - 8);
    w.ue(chromaDepth - 8);
    return w.finished();
}

Bytes startCoded(const std::vector<Bytes>& units) {
    Bytes out;
    for (const auto& u : units) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), u.begin(), u.end());
    }
    return out;
}

} // namespace

TEST(AnnexB, UnitsLieBetweenStartCodesOfEitherLength) {
    struct Case {
        std::string name;
        Bytes stream;
        std::vector<Bytes> units;
    };
    const Case cases[] = {
        {"three and four byte codes", {0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xce}, {{0x67, 0x42}, {0x68, 0xce}}},
        {"zeros before a 4-byte code kept", {0, 0, 0, 1, 0x06, 0x80, 0, 0, 0, 0, 1, 0x65, 0x88}, {{0x06, 0x80, 0}, {0x65, 0x88}}},
        {"zeros at the end kept", {0, 0, 1, 0x65, 0x88, 0}, {{0x65, 0x88, 0}}},
        {"emulation bytes kept", {0, 0, 1, 0x65, 0, 0, 3, 1, 0, 0, 3, 2}, {{0x65, 0, 0, 3, 1, 0, 0, 3, 2}}},
        {"bytes before the first code skipped", {0xaa, 0xbb, 0, 0, 1, 0x41, 0x9a}, {{0x41, 0x9a}}},
        {"empty units skipped", {0, 0, 1, 0, 0, 1, 0x41}, {{0x41}}},
        {"no start code", {0x41, 0x9a, 0, 0, 2}, {}},
        {"empty", {}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(copied(AnnexB::units(c.stream)), c.units) << c.name;
}

TEST(AnnexB, StartCodesBecomeLengthsAndParameterSets) {
    Bytes stream{0, 0, 0, 1, 0x67, 0x64, 0x00, 0x1f, 0xaa, 0, 0, 1, 0x68, 0xce, 0x3c, 0x80, 0, 0, 0, 1, 0x65, 0x88, 0x00};
    auto units = AnnexB::units(stream);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[1].size(), 4u);
    EXPECT_EQ(AnnexB::lengthPrefixed(stream), (Bytes{0, 0, 0, 5, 0x67, 0x64, 0x00, 0x1f, 0xaa, 0, 0, 0, 4, 0x68, 0xce,
                                                     0x3c, 0x80, 0, 0, 0, 3, 0x65, 0x88, 0x00}));
    // High profile: 4:2:0 (ue 1), 8-bit luma (ue 0), 9-bit chroma (ue 1) in 0xaa.
    EXPECT_EQ(AnnexB::avcC(stream), (Bytes{1, 0x64, 0x00, 0x1f, 0xff, 0xe1, 0, 5, 0x67, 0x64, 0x00, 0x1f, 0xaa, 1, 0,
                                           4, 0x68, 0xce, 0x3c, 0x80, 0xfd, 0xf8, 0xf9, 0}));
    EXPECT_TRUE(AnnexB::avcC(Bytes{0, 0, 1, 0x65, 1}).empty());
}

TEST(AnnexB, MainProfileRecordsEndAfterThePictureSets) {
    const Bytes sps{0x67, 0x4d, 0x40, 0x1e, 0xec}, pps{0x68, 0xeb, 0xe3, 0xcb};
    const std::vector<AnnexB::Unit> units{sps, pps};
    EXPECT_EQ(AnnexB::avcConfiguration(units), (Bytes{1, 0x4d, 0x40, 0x1e, 0xff, 0xe1, 0, 5, 0x67, 0x4d, 0x40, 0x1e,
                                                      0xec, 1, 0, 4, 0x68, 0xeb, 0xe3, 0xcb}));
    const std::vector<AnnexB::Unit> noPicture{sps};
    EXPECT_FALSE(AnnexB::avcConfiguration(noPicture));
    // A high-profile SPS cut before its chroma fields can't be described.
    const Bytes shortHigh{0x67, 0x64, 0x00, 0x1f};
    const std::vector<AnnexB::Unit> cut{shortHigh, pps};
    EXPECT_FALSE(AnnexB::avcConfiguration(cut));
    // A bit depth of 2^31 + 7 from a damaged SPS is refused, not computed.
    const Bytes hugeDepth{0x67, 0x64, 0x00, 0x1f, 0xa0, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x18};
    const std::vector<AnnexB::Unit> damaged{hugeDepth, pps};
    EXPECT_FALSE(AnnexB::avcConfiguration(damaged));
}

TEST(AnnexB, SamplesOfEitherFramingGetFourByteLengths) {
    struct Case {
        std::string name;
        Bytes sample;
        std::optional<int> lengthSize;
        std::optional<Bytes> out;
    };
    // 261 bytes: the length reads 00 00 01 05.
    Bytes longPrefixed(4 + 261, 0x41);
    longPrefixed[0] = longPrefixed[1] = 0;
    longPrefixed[2] = 1;
    longPrefixed[3] = 5;
    const Case cases[] = {
        {"annex b", {0, 0, 0, 1, 0x65, 0x88, 0, 0, 1, 0x06, 5}, std::nullopt, Bytes{0, 0, 0, 2, 0x65, 0x88, 0, 0, 0, 2, 0x06, 5}},
        {"four byte lengths kept", {0, 0, 0, 2, 0x65, 0x88}, 4, Bytes{0, 0, 0, 2, 0x65, 0x88}},
        {"two byte lengths widened", {0, 2, 0x65, 0x88, 0, 1, 0x06}, 2, Bytes{0, 0, 0, 2, 0x65, 0x88, 0, 0, 0, 1, 0x06}},
        {"one byte lengths widened", {2, 0x65, 0x88}, 1, Bytes{0, 0, 0, 2, 0x65, 0x88}},
        {"a length that looks like a start code", longPrefixed, 4, longPrefixed},
        {"annex b where lengths were declared", {0, 0, 0, 1, 0x65, 0x88}, 4, Bytes{0, 0, 0, 2, 0x65, 0x88}},
        {"lengths past the end", {0, 0, 0, 9, 0x65, 0x88}, 4, std::nullopt},
        {"neither", {0x65, 0x88}, std::nullopt, std::nullopt},
        {"empty", {}, 4, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(AnnexB::sampleWithFourByteLengths(c.sample, c.lengthSize), c.out) << c.name;
}

TEST(AnnexB, RecordsAreToldFromStartCodedParameterSets) {
    const Bytes avcC{1, 0x4d, 0x40, 0x1e, 0xfd, 0xe1, 0, 2, 0x67, 0x4d, 1, 0, 1, 0x68};
    EXPECT_TRUE(AnnexB::isConfigurationRecord(avcC, AnnexB::Codec::h264));
    EXPECT_EQ(AnnexB::recordLengthSize(avcC, AnnexB::Codec::h264), 2);
    EXPECT_EQ(copied(*AnnexB::recordUnits(avcC, AnnexB::Codec::h264)), (std::vector<Bytes>{{0x67, 0x4d}, {0x68}}));

    const Bytes startCodes{0, 0, 0, 1, 0x67, 0x4d, 0, 0, 0, 1, 0x68};
    EXPECT_FALSE(AnnexB::isConfigurationRecord(startCodes, AnnexB::Codec::h264));
    EXPECT_FALSE(AnnexB::isConfigurationRecord(startCodes, AnnexB::Codec::hevc));
    const Bytes cut(avcC.begin(), avcC.end() - 1);
    EXPECT_FALSE(AnnexB::isConfigurationRecord(cut, AnnexB::Codec::h264));
    Bytes threeByteLengths = avcC;
    threeByteLengths[4] = 0xfe;
    EXPECT_FALSE(AnnexB::recordLengthSize(threeByteLengths, AnnexB::Codec::h264));
}

TEST(AnnexB, HEVCRecordTakesTheHighestTierAndLevelAndTheSPSFormat) {
    const Bytes vps = hevcVPS(0, 90), sps = hevcSPS(1, 60, 2, 10, 12), pps{0x44, 0x01, 0xc1, 0x72};
    const Bytes sei{0x4e, 0x01, 0x05, 0x80};
    const auto stream = startCoded({vps, sps, pps, sei});
    const auto units = AnnexB::units(stream);
    const auto record = AnnexB::hevcConfiguration(units);
    ASSERT_TRUE(record);
    const Bytes header{1,    0x22, 0x20, 0, 0, 0, 0x90, 0, 0, 0, 0, 0, 60, 0xf0, 0x00, 0xfc, 0xfe, 0xfa, 0xfc,
                       0, 0, 0x0f};
    ASSERT_GT(record->size(), header.size());
    EXPECT_EQ(Bytes(record->begin(), record->begin() + 22), header);
    EXPECT_EQ(AnnexB::recordLengthSize(*record, AnnexB::Codec::hevc), 4);
    // The SEI stays in the samples; the record lists the three sets in order.
    EXPECT_EQ(copied(*AnnexB::recordUnits(*record, AnnexB::Codec::hevc)), (std::vector<Bytes>{vps, sps, pps}));
    EXPECT_EQ((*record)[22], 3);
    EXPECT_EQ((*record)[23], 0x80 | 32);

    const Bytes noVPS = startCoded({sps, pps});
    EXPECT_FALSE(AnnexB::hevcConfiguration(AnnexB::units(noVPS)));
    const Bytes cutSPS(sps.begin(), sps.begin() + 10);
    const Bytes cut = startCoded({vps, cutSPS, pps});
    EXPECT_FALSE(AnnexB::hevcConfiguration(AnnexB::units(cut)));
}
