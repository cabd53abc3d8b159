#include "Core/Container/MP4BoxWriter.hpp"
#include "Core/Container/VideoFragmentWriter.hpp"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

using namespace korvel;
using Bytes = MP4BoxWriter::Bytes;

namespace {

uint32_t u32(const Bytes& b, size_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}

struct Box {
    size_t offset;  // of the box header
    uint32_t size;
};

const std::set<std::string> containers{"moov", "trak", "mdia", "minf", "dinf", "stbl", "mvex", "moof", "traf"};

// Every box by its path ("moov/trak/tkhd"), walking the known containers and
// the sample entry inside stsd.
void walk(const Bytes& b, size_t from, size_t to, const std::string& prefix, std::map<std::string, Box>& out) {
    size_t at = from;
    while (at + 8 <= to) {
        uint32_t size = u32(b, at);
        ASSERT_GE(size, 8u);
        ASSERT_LE(at + size, to);
        std::string type(b.begin() + at + 4, b.begin() + at + 8);
        std::string path = prefix.empty() ? type : prefix + "/" + type;
        out[path] = {at, size};
        if (containers.count(type)) walk(b, at + 8, at + size, path, out);
        if (type == "stsd") walk(b, at + 16, at + size, path, out);
        if (type == "avc1") walk(b, at + 8 + 78, at + size, path, out);
        if (type == "dref") walk(b, at + 16, at + size, path, out);
        at += size;
    }
    ASSERT_EQ(at, to);
}

std::map<std::string, Box> boxes(const Bytes& b) {
    std::map<std::string, Box> out;
    walk(b, 0, b.size(), "", out);
    return out;
}

CopiedVideoFormat avc(std::optional<Bytes> color = std::nullopt) {
    CopiedVideoFormat f;
    f.sampleEntry = "avc1";
    f.configBox = "avcC";
    f.config = {1, 0x64, 0, 0x1f, 0xff};
    f.width = 1920;
    f.height = 1080;
    f.color = std::move(color);
    return f;
}

} // namespace

TEST(MP4BoxWriter, BoxAndFullBox) {
    EXPECT_EQ(MP4BoxWriter::box("free", {}), (Bytes{0, 0, 0, 8, 'f', 'r', 'e', 'e'}));
    EXPECT_EQ(MP4BoxWriter::fullBox("stco", 0, 0, {}), (Bytes{0, 0, 0, 12, 's', 't', 'c', 'o', 0, 0, 0, 0}));
    EXPECT_EQ(MP4BoxWriter::fullBox("tfhd", 1, 0x020000, {}), (Bytes{0, 0, 0, 12, 't', 'f', 'h', 'd', 1, 2, 0, 0}));
    EXPECT_EQ(MP4BoxWriter::identityMatrix().size(), 36u);
    EXPECT_THROW(MP4BoxWriter::box("fre", {}), std::invalid_argument);
    EXPECT_THROW(MP4BoxWriter::box("frees", {}), std::invalid_argument);
    Bytes a{1}, b{2, 3};
    EXPECT_EQ(MP4BoxWriter::join({a, b}), (Bytes{1, 2, 3}));
}

TEST(VideoFragmentWriter, TwoSampleFragmentLayout) {
    Bytes payload(150, 0xAB);
    std::vector<CopiedSample> samples{{1001, 100, 0, true}, {1001, 50, 2002, false}};
    Bytes file = VideoFragmentWriter::fragment(avc(), 30000, samples, payload);
    auto map = boxes(file);

    EXPECT_EQ(map.at("ftyp").size, 28u);
    EXPECT_EQ(map.at("moov/mvhd").size, 108u);
    EXPECT_EQ(map.at("moov/trak/tkhd").size, 92u);
    EXPECT_EQ(map.at("moov/trak/mdia/mdhd").size, 32u);
    EXPECT_EQ(map.at("moov/trak/mdia/hdlr").size, 38u);
    EXPECT_EQ(map.at("moov/trak/mdia/minf/vmhd").size, 20u);
    EXPECT_EQ(map.at("moov/trak/mdia/minf/dinf/dref").size, 28u);
    EXPECT_EQ(map.at("moov/trak/mdia/minf/dinf/dref/url ").size, 12u);
    EXPECT_EQ(map.at("moov/trak/mdia/minf/stbl/stsz").size, 20u);
    EXPECT_EQ(map.at("moov/mvex/trex").size, 32u);
    EXPECT_EQ(map.at("moof").size, 120u);
    EXPECT_EQ(map.at("mdat").size, 158u);
    EXPECT_EQ(map.at("mdat").offset, map.at("moof").offset + 120);

    size_t trun = map.at("moof/traf/trun").offset;
    EXPECT_EQ(u32(file, trun + 8), 0x01000F01u);
    EXPECT_EQ(u32(file, trun + 12), 2u);
    EXPECT_EQ(u32(file, trun + 16), 128u);
    std::vector<uint32_t> entries;
    for (size_t i = 0; i < 8; ++i) entries.push_back(u32(file, trun + 20 + 4 * i));
    EXPECT_EQ(entries, (std::vector<uint32_t>{1001, 100, 0x02000000, 0, 1001, 50, 0x01010000, 2002}));
    // The data offset lands on the first payload byte.
    EXPECT_EQ(file[map.at("moof").offset + 128], 0xAB);
    EXPECT_EQ(file.size(), map.at("mdat").offset + 158);
}

TEST(VideoFragmentWriter, ColourBoxFollowsTheConfiguration) {
    auto plain = boxes(VideoFragmentWriter::fragment(avc(), 600, {}, {}));
    EXPECT_FALSE(plain.count("moov/trak/mdia/minf/stbl/stsd/avc1/colr"));
    EXPECT_TRUE(plain.count("moov/trak/mdia/minf/stbl/stsd/avc1/avcC"));

    Bytes colr{'n', 'c', 'l', 'x', 0, 1, 0, 1, 0, 1, 0};
    auto tagged = boxes(VideoFragmentWriter::fragment(avc(colr), 600, {}, {}));
    auto config = tagged.at("moov/trak/mdia/minf/stbl/stsd/avc1/avcC");
    auto color = tagged.at("moov/trak/mdia/minf/stbl/stsd/avc1/colr");
    EXPECT_EQ(color.offset, config.offset + config.size);
    EXPECT_EQ(color.size, 8u + colr.size());
    // The sample entry is the 86-byte visual entry plus its two boxes.
    EXPECT_EQ(tagged.at("moov/trak/mdia/minf/stbl/stsd/avc1").size, 86u + config.size + color.size);
}

TEST(VideoFragmentWriter, TrackCarriesTheDisplayMatrixMovieTheUnity) {
    CopiedVideoFormat f = avc();
    f.matrix = {0, 0x00010000, 0, -0x00010000, 0, 0, 0, 0, 0x40000000};
    Bytes file = VideoFragmentWriter::fragment(f, 600, {}, {});
    auto map = boxes(file);
    size_t tkhd = map.at("moov/trak/tkhd").offset + 12 + 36;
    size_t mvhd = map.at("moov/mvhd").offset + 12 + 32;
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(static_cast<int32_t>(u32(file, tkhd + 4 * i)), f.matrix[i]);
        EXPECT_EQ(static_cast<int32_t>(u32(file, mvhd + 4 * i)), CopiedVideoFormat::upright[i]);
    }
    EXPECT_EQ(u32(file, tkhd + 36), 1920u << 16);
    EXPECT_EQ(u32(file, tkhd + 40), 1080u << 16);
}

TEST(VideoFragmentWriter, RefusesInputsOutsideTheFieldWidths) {
    CopiedVideoFormat wide = avc();
    wide.width = 65536;
    EXPECT_THROW(VideoFragmentWriter::fragment(wide, 600, {}, {}), std::length_error);
    Bytes payload(10);
    EXPECT_THROW(VideoFragmentWriter::fragment(avc(), 600, {{1, 11, 0, true}}, payload), std::invalid_argument);
}

// Built around a payload already in place, whatever room was left ahead of
// it, the file is the one fragment() makes; a failure leaves it as it was.
TEST(VideoFragmentWriter, AFileBuiltAroundItsPayloadIsTheSameFile) {
    Bytes payload(150);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
    std::vector<CopiedSample> samples{{1001, 100, 0, true}, {1001, 50, 2002, false}};
    const Bytes want = VideoFragmentWriter::fragment(avc(), 30000, samples, payload);
    const size_t boxes = want.size() - payload.size();
    for (size_t room : {size_t{0}, boxes / 2, boxes, boxes + 1, boxes + 4096}) {
        Bytes file(room, 0xEE);
        file.insert(file.end(), payload.begin(), payload.end());
        VideoFragmentWriter::fragmentAround(avc(), 30000, samples, file, room);
        EXPECT_EQ(file, want) << room << " bytes of room";
    }
    Bytes file(boxes, 0xEE);
    file.insert(file.end(), payload.begin(), payload.end() - 1);
    const Bytes before = file;
    EXPECT_THROW(VideoFragmentWriter::fragmentAround(avc(), 30000, samples, file, boxes), std::invalid_argument);
    EXPECT_EQ(file, before);
    EXPECT_THROW(VideoFragmentWriter::fragmentAround(avc(), 30000, samples, file, file.size() + 1), std::invalid_argument);
}
