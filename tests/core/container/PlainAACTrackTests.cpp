#include "Core/Container/PlainAACTrack.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

using namespace korvel;

namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, uint64_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}
void put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void zeros(Bytes& b, size_t n) { b.insert(b.end(), n, 0); }
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes box(const std::string& type, const Bytes& payload) {
    Bytes b;
    put32(b, payload.size() + 8);
    b.insert(b.end(), type.begin(), type.end());
    return cat({b, payload});
}
Bytes full(const std::string& type, const Bytes& payload) { return box(type, cat({Bytes{0, 0, 0, 0}, payload})); }
Bytes words(std::initializer_list<uint64_t> values) {
    Bytes b;
    for (auto v : values) put32(b, v);
    return b;
}

// A one-track sound movie at 48 kHz whose parts the cases replace: four
// packets, the last shorter, and one plain edit past the encoder delay.
struct SoundMovie {
    std::string format = "mp4a";
    uint8_t objectTypeIndication = 0x40;
    std::optional<Bytes> specificConfig = Bytes{0x11, 0x90}; // AAC-LC, 48 kHz, stereo
    bool withEsds = true;
    int entries = 1;
    Bytes stts = words({2, 3, 1024, 1, 500});
    std::optional<Bytes> elst = words({1, 3000, 1024, 0x00010000});

    Bytes esds() const {
        Bytes config{objectTypeIndication, 0x15};
        zeros(config, 11);
        if (specificConfig) {
            config.push_back(0x05);
            config.push_back(static_cast<uint8_t>(specificConfig->size()));
            config.insert(config.end(), specificConfig->begin(), specificConfig->end());
        }
        Bytes stream{0x00, 0x01, 0x00, 0x04, static_cast<uint8_t>(config.size())};
        stream.insert(stream.end(), config.begin(), config.end());
        Bytes out{0x03, static_cast<uint8_t>(stream.size())};
        return full("esds", cat({out, stream}));
    }
    Bytes entry() const {
        Bytes e;
        zeros(e, 6);
        put16(e, 1);
        zeros(e, 8);
        put16(e, 2);  // the template channel count
        put16(e, 16);
        zeros(e, 4);
        put32(e, 48000u << 16);
        if (withEsds) e = cat({e, esds()});
        return box(format, e);
    }
    Bytes bytes() const {
        Bytes mvhd;
        zeros(mvhd, 8);
        put32(mvhd, 1000);
        put32(mvhd, 80);
        zeros(mvhd, 80);
        Bytes tkhd;
        zeros(tkhd, 8);
        put32(tkhd, 1);
        zeros(tkhd, 8 + 16 + 36 + 8);
        Bytes mdhd;
        zeros(mdhd, 8);
        put32(mdhd, 48000);
        put32(mdhd, 3572);
        put32(mdhd, 0);
        Bytes hdlr;
        zeros(hdlr, 4);
        hdlr.insert(hdlr.end(), {'s', 'o', 'u', 'n'});
        zeros(hdlr, 13);
        Bytes stsd = words({static_cast<uint64_t>(entries)});
        for (int i = 0; i < entries; ++i) stsd = cat({stsd, entry()});
        Bytes stbl = box("stbl", cat({full("stsd", stsd), full("stts", stts), full("stsz", words({0, 4, 10, 10, 10, 10})),
                                      full("stsc", words({1, 1, 4, 1})), full("stco", words({1, 100}))}));
        Bytes dref = full("dref", cat({words({1}), box("url ", Bytes{0, 0, 0, 1})}));
        Bytes minf = box("minf", cat({box("dinf", dref), stbl}));
        Bytes mdia = box("mdia", cat({full("mdhd", mdhd), full("hdlr", hdlr), minf}));
        Bytes edts = elst ? box("edts", full("elst", *elst)) : Bytes{};
        return cat({full("mvhd", mvhd), box("trak", cat({full("tkhd", tkhd), edts, mdia}))});
    }
};

SoundMovie with(const std::function<void(SoundMovie&)>& change) {
    SoundMovie m;
    change(m);
    return m;
}

} // namespace

TEST(PlainAACTrack, ReadsTheConfigurationTheEditAndThePackets) {
    const MovieBox movie = MovieBox::parse(SoundMovie{}.bytes());
    const auto plain = PlainAACTrack::of(movie);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->track, &movie.tracks[0]);
    EXPECT_EQ(plain->channels, 2);
    EXPECT_EQ(plain->rate, 48000);
    EXPECT_EQ(plain->delayFrames, 1024);
    EXPECT_EQ(plain->presentedFrames, 144000); // 3 s of the movie's 1000 ticks a second
    ASSERT_EQ(plain->samples.size(), 4u);
    EXPECT_EQ(plain->samples[3].duration, 500);

    // Without an edit the whole media is presented from its start.
    const MovieBox unedited = MovieBox::parse(with([](SoundMovie& m) { m.elst.reset(); }).bytes());
    const auto whole = PlainAACTrack::of(unedited);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->delayFrames, 0);
    EXPECT_EQ(whole->presentedFrames, 3572);
    // Mono from the decoder configuration, whatever the entry's template says.
    const MovieBox mono = MovieBox::parse(with([](SoundMovie& m) { m.specificConfig = Bytes{0x11, 0x88}; }).bytes());
    ASSERT_TRUE(PlainAACTrack::of(mono));
    EXPECT_EQ(PlainAACTrack::of(mono)->channels, 1);
}

TEST(PlainAACTrack, OtherSoundIsNotPlain) {
    struct Case {
        const char* name;
        SoundMovie movie;
    };
    const Case cases[] = {
        {"two edits", with([](SoundMovie& m) { m.elst = words({2, 0, 0xffffffff, 0x00010000, 3000, 1024, 0x00010000}); })},
        {"an empty edit", with([](SoundMovie& m) { m.elst = words({1, 3000, 0xffffffff, 0x00010000}); })},
        {"a slowed edit", with([](SoundMovie& m) { m.elst = words({1, 3000, 1024, 0x00008000}); })},
        {"no edit in the list", with([](SoundMovie& m) { m.elst = words({0}); })},
        {"HE-AAC", with([](SoundMovie& m) { m.specificConfig = Bytes{0x2B, 0x10, 0x56, 0xE5}; })},
        {"AAC main", with([](SoundMovie& m) { m.specificConfig = Bytes{0x09, 0x90}; })},
        {"960-frame packets", with([](SoundMovie& m) { m.specificConfig = Bytes{0x11, 0x94}; })},
        {"no channel configuration", with([](SoundMovie& m) { m.specificConfig = Bytes{0x11, 0x80}; })},
        {"a one-byte configuration", with([](SoundMovie& m) { m.specificConfig = Bytes{0x11}; })},
        {"no decoder specific info", with([](SoundMovie& m) { m.specificConfig.reset(); })},
        {"MPEG-1 sound in the esds", with([](SoundMovie& m) { m.objectTypeIndication = 0x6B; })},
        {"missing esds", with([](SoundMovie& m) { m.withEsds = false; })},
        {"not mp4a", with([](SoundMovie& m) { m.format = "Opus"; })},
        {"two sample entries", with([](SoundMovie& m) { m.entries = 2; })},
        {"a short packet midway", with([](SoundMovie& m) { m.stts = words({3, 1, 1024, 1, 960, 2, 1024}); })},
        {"a long last packet", with([](SoundMovie& m) { m.stts = words({2, 3, 1024, 1, 2048}); })},
        {"2048-frame packets", with([](SoundMovie& m) { m.stts = words({1, 4, 2048}); })},
    };
    for (const auto& c : cases) {
        const MovieBox movie = MovieBox::parse(c.movie.bytes());
        EXPECT_FALSE(PlainAACTrack::of(movie)) << c.name;
    }
}

TEST(PlainAACTrack, AMovieWithoutSoundHasNone) {
    MovieBox movie = MovieBox::parse(SoundMovie{}.bytes());
    movie.tracks[0].handler = "vide";
    EXPECT_FALSE(PlainAACTrack::of(movie));
    movie = MovieBox::parse(SoundMovie{}.bytes());
    movie.timescale = 0;
    EXPECT_FALSE(PlainAACTrack::of(movie));
}
