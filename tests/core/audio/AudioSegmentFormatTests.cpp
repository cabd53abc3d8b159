#include "Core/Container/AudioFragmentWriter.hpp"
#include "Core/Audio/AudioReadRoute.hpp"
#include "Core/Container/EncodedAudioStream.hpp"
#include "Core/Audio/UntouchedSound.hpp"
#include "Core/Wire/Contract.hpp"
#include "Core/Wire/AudioMixResultModel.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace korvel;
using Window = EncodedAudioStream::Window;

namespace {

uint32_t u32At(const std::vector<uint8_t>& b, size_t at) {
    return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) | b[at + 3];
}

// Offset of the first box of this type, searching the bytes as they are.
size_t find(const std::vector<uint8_t>& b, const std::string& type) {
    for (size_t i = 4; i + 4 <= b.size(); ++i)
        if (std::string(b.begin() + i, b.begin() + i + 4) == type) return i - 4;
    return std::string::npos;
}

std::vector<uint8_t> audioSpecificConfig(const std::vector<uint8_t>& file) {
    for (size_t i = 0; i + 3 < file.size(); ++i)
        if (file[i] == 0x05 && file[i + 1] == 0x02 && file[i + 4] == 0x06) return {file[i + 2], file[i + 3]};
    return {};
}

} // namespace

TEST(EncodedAudioStream, WindowsCoverTheirFramesWithOnePacketOfPreRoll) {
    struct Case {
        int64_t start, end, delay, packets;
        Window expected;
    } cases[] = {
        {0, 1024, 2112, 100, {1, 5, 1088, 0, 1024}},
        {0, 1024, 0, 100, {0, 2, 0, 0, 1024}},
        {0, 48000, 2112, 100, {1, 50, 1088, 0, 48000}},
        {0, 48000, 2112, 20, {1, 20, 1088, 0, 48000}},   // clipped to the packets present
        {11264, 12000, 0, 10, {10, 10, 1024, 11264, 12000}}, // past the end: empty
        {10240, 11000, 0, 10, {9, 10, 1024, 10240, 11000}},
        {-5000, 1024, 2112, 100, {1, 5, 1088, 0, 1024}},    // a start before the sound starts at 0
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodedAudioStream::window(c.start, c.end, c.delay, c.packets), c.expected) << c.start << " " << c.end;
    }
    EXPECT_TRUE(EncodedAudioStream::window(11264, 12000, 0, 10).empty());
}

TEST(EncodedAudioStream, HoldsOnlyOnePacketBeyondTheWindowOrWhenComplete) {
    EncodedAudioStream s;
    s.encoderDelayFrames = 2112;
    s.packets.resize(5);
    // A window ending at 1024 ends at packet index ceil(3136 / 1024) + 1 = 5.
    EXPECT_FALSE(s.holds(1024));
    s.packets.resize(6);
    EXPECT_TRUE(s.holds(1024));
    EXPECT_FALSE(s.holds(48000));
    s.isComplete = true;
    EXPECT_TRUE(s.holds(48000));
    EncodedAudioStream empty;
    EXPECT_FALSE(empty.holds(0));
}

TEST(AudioFragmentWriter, ThreePacketLayoutMatchesItsSizes) {
    const std::vector<std::vector<uint8_t>> packets{std::vector<uint8_t>(300, 1), std::vector<uint8_t>(310, 2),
                                                    std::vector<uint8_t>(320, 3)};
    const auto file = AudioFragmentWriter::fragment({2, 192000, 48000}, packets, 1088);
    ASSERT_EQ(file.size(), 1663u);
    EXPECT_EQ(u32At(file, 0), 28u);
    EXPECT_EQ(u32At(file, 28), 597u);
    const size_t moof = 28 + 597;
    EXPECT_EQ(u32At(file, moof), 100u);
    EXPECT_EQ(u32At(file, moof + 100), 938u);
    const size_t trun = find(file, "trun");
    EXPECT_EQ(u32At(file, trun + 12), 3u);
    EXPECT_EQ(u32At(file, trun + 16), 108u);
    EXPECT_EQ(u32At(file, trun + 20), 300u);
    EXPECT_EQ(u32At(file, trun + 28), 320u);
    const size_t elst = find(file, "elst");
    EXPECT_EQ(u32At(file, elst + 20), 1088u);
    EXPECT_EQ(file[moof + 108], 1);
    EXPECT_EQ(file.back(), 3);
    EXPECT_EQ(audioSpecificConfig(file), (std::vector<uint8_t>{0x11, 0x90}));
    for (const char* box : {"mvhd", "tkhd", "mdhd", "hdlr", "stsd", "esds", "trex", "tfdt"})
        EXPECT_NE(find(file, box), std::string::npos) << box;
    EXPECT_EQ(u32At(file, find(file, "stsd")), 91u);
    EXPECT_EQ(u32At(file, find(file, "esds")), 39u);
}

TEST(AudioFragmentWriter, FormatsWriteTheirConfigAndTheMovieBoxKeepsItsSize) {
    struct Case {
        AudioFragmentFormat format;
        std::vector<uint8_t> config;
    } cases[] = {
        {{1, 128000, 48000}, {0x11, 0x88}},
        {{2, 128000, 44100}, {0x12, 0x10}},
        {{2, 128000, 32000}, {0x11, 0x90}},
    };
    for (const auto& c : cases) {
        const auto file = AudioFragmentWriter::fragment(c.format, {}, 0);
        EXPECT_EQ(audioSpecificConfig(file), c.config);
        EXPECT_EQ(u32At(file, 28), 597u);
        const size_t mp4a = find(file, "mp4a");
        EXPECT_EQ(file[mp4a + 8 + 17], c.format.channelCount);
        // Zero packets: an 88-byte moof pointing at an empty mdat.
        EXPECT_EQ(u32At(file, 625), 88u);
        EXPECT_EQ(u32At(file, find(file, "trun") + 16), 96u);
        EXPECT_EQ(file.size(), 28u + 597 + 88 + 8);
    }
}

TEST(AudioFragmentWriter, RefusesNumbersThatDoNotFitTheirFields) {
    EXPECT_THROW(AudioFragmentWriter::fragment({2, 192000, 48000}, {}, -1), EngineFailure);
    EXPECT_THROW(AudioFragmentWriter::fragment({2, int64_t(1) << 33, 48000}, {}, 0), EngineFailure);
    EncodedAudioStream s;
    s.packets.resize(2);
    EXPECT_THROW(AudioFragmentWriter::fragment(s, Window{1, 3, 0, 0, 0}), EngineFailure);
}

TEST(AudioReadRoute, ChannelsAndDirectReads) {
    EXPECT_EQ(AudioReadRoute::channelsToRead(2, 1), 2);
    EXPECT_EQ(AudioReadRoute::channelsToRead(6, 1), 1);
    EXPECT_EQ(AudioReadRoute::channelsToRead(1, 2), 2);
    using AudioReadRoute::Codec;
    EXPECT_FALSE(AudioReadRoute::direct(Codec::other, 48000, 2, 48000, 2));
    EXPECT_TRUE(AudioReadRoute::direct(Codec::aacLC, 48000, 2, 48000, 2));
    EXPECT_TRUE(AudioReadRoute::direct(Codec::aacLC, 48000, 2, 16000, 1));
    EXPECT_FALSE(AudioReadRoute::direct(Codec::aacLC, 44100, 2, 48000, 2));
    EXPECT_FALSE(AudioReadRoute::direct(Codec::aacLC, 48000, 6, 48000, 2));
}

TEST(UntouchedSound, OnlyOnePlainVoiceTrackCoveringThePlanIsUntouched) {
    const std::string plain = R"({"id":"v","role":"voice","assetId":"a","generated":null,"srcStartUs":0,
        "srcEndUs":5000000,"outStartUs":0,"outEndUs":5000000,"speed":1.0,"gain":[],"isolation":null})";
    auto mix = [](const std::string& track, const std::string& target = "null") {
        return decoded<AudioMix>(
            JSONValue::parsing(R"({"tracks":[)" + track + R"(],"targetLufs":)" + target + R"(,"truePeakDb":-1})"));
    };
    auto edited = [&](const std::string& from, const std::string& to) {
        std::string t = plain;
        t.replace(t.find(from), from.size(), to);
        return t;
    };
    EXPECT_EQ(UntouchedSound::asset(mix(plain), 5000000), "a");
    const std::string notUntouched[] = {
        edited(R"("gain":[])", R"("gain":[{"outUs":0,"gainDb":0.5}])"),
        edited(R"("srcStartUs":0)", R"("srcStartUs":1)"),
        edited(R"("isolation":null)", R"("isolation":{"wet":0})"),
        edited(R"("speed":1.0)", R"("speed":1.01)"),
        edited(R"("role":"voice")", R"("role":"music")"),
    };
    for (const auto& t : notUntouched) EXPECT_FALSE(UntouchedSound::asset(mix(t), 5000000)) << t;
    EXPECT_EQ(UntouchedSound::asset(mix(edited(R"("gain":[])", R"("gain":[{"outUs":0,"gainDb":0}])")), 5000000), "a");
    EXPECT_FALSE(UntouchedSound::asset(mix(plain, "-16"), 5000000));
    EXPECT_FALSE(UntouchedSound::asset(mix(plain), 4000000));
    EXPECT_FALSE(UntouchedSound::asset(mix(plain + "," + plain), 5000000));
}

TEST(AudioMixResultModel, RoundsLoudnessAndPeakToTwoDecimals) {
    struct Case {
        double in, out;
    } cases[] = {{-16.004, -16}, {-14.125, -14.13}, {-1, -1}, {-14.0062, -14.01}, {-13.9938, -13.99}};
    for (const auto& c : cases) {
        EXPECT_EQ(AudioMixResultModel("p", 1, 2, c.in, c.in, true).integratedLufs, c.out) << c.in;
        EXPECT_EQ(AudioMixResultModel("p", 1, 2, c.in, c.in, true).truePeakDb, c.out) << c.in;
    }
    const auto json = encoding(AudioMixResultModel("/a/b.wav", 10, 20, -16.004, -1.234, false));
    EXPECT_EQ(json.canonical(), R"({"byteLength":10,"durationUs":20,"integratedLufs":-16,"path":"/a/b.wav",)"
                                R"("reachedTarget":false,"truePeakDb":-1.23})");
}
