#include "Core/Container/MovieBox.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <optional>

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
void put64(Bytes& b, uint64_t v) {
    put32(b, v >> 32);
    put32(b, v & 0xffffffff);
}
void zeros(Bytes& b, size_t n) { b.insert(b.end(), n, 0); }

Bytes box(const std::string& type, const Bytes& payload) {
    Bytes b;
    put32(b, payload.size() + 8);
    b.insert(b.end(), type.begin(), type.end());
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}
Bytes full(const std::string& type, uint8_t version, uint32_t flags, const Bytes& payload) {
    Bytes p;
    put32(p, static_cast<uint32_t>(version) << 24 | flags);
    p.insert(p.end(), payload.begin(), payload.end());
    return box(type, p);
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes words(std::initializer_list<uint64_t> values) {
    Bytes b;
    for (auto v : values) put32(b, v);
    return b;
}

// The parts of a one-track movie that the cases below replace.
struct Movie {
    uint32_t movieScale = 600, mediaScale = 30000;
    Bytes stts = full("stts", 0, 0, words({2, 3, 1000, 1, 2000}));
    Bytes ctts = full("ctts", 0, 0, words({1, 4, 500}));
    Bytes stss = full("stss", 0, 0, words({2, 1, 4}));
    Bytes stsz = full("stsz", 0, 0, words({0, 4, 10, 20, 30, 40}));
    Bytes stsc = full("stsc", 0, 0, words({2, 1, 3, 1, 2, 1, 1}));
    Bytes stco = full("stco", 0, 0, words({2, 100, 5000}));
    Bytes edts = box("edts", full("elst", 0, 0, words({1, 1200, 500, 0x00010000})));
    std::array<int32_t, 9> matrix{0, 0x10000, 0, -0x10000, 0, 0, 0, 0, 0x40000000};

    Bytes tkhd() const {
        Bytes p;
        zeros(p, 8);
        put32(p, 1);
        zeros(p, 8);
        zeros(p, 16);
        for (auto v : matrix) put32(p, static_cast<uint32_t>(v));
        put32(p, 1920u << 16);
        put32(p, 1080u << 16);
        return full("tkhd", 0, 7, p);
    }
    Bytes stsd() const {
        Bytes e;
        zeros(e, 6);
        put16(e, 1);
        zeros(e, 16);
        put16(e, 1920);
        put16(e, 1080);
        put32(e, 0x00480000);
        put32(e, 0x00480000);
        put32(e, 0);
        put16(e, 1);
        zeros(e, 32);
        put16(e, 24);
        put16(e, 0xffff);
        e = cat({e, box("avcC", Bytes{1, 100, 0, 31}), box("colr", Bytes{'n', 'c', 'l', 'x', 0, 1, 0, 1, 0, 1, 0})});
        zeros(e, 4); // a terminator some writers leave
        return full("stsd", 0, 0, cat({words({1}), box("avc1", e)}));
    }
    Bytes bytes() const {
        Bytes mvhd;
        zeros(mvhd, 8);
        put32(mvhd, movieScale);
        put32(mvhd, 1200);
        zeros(mvhd, 80);
        Bytes mdhd;
        zeros(mdhd, 8);
        put32(mdhd, mediaScale);
        put32(mdhd, 160000);
        put32(mdhd, 0);
        Bytes hdlr;
        zeros(hdlr, 4);
        hdlr.insert(hdlr.end(), {'v', 'i', 'd', 'e'});
        zeros(hdlr, 13);
        Bytes dref = full("dref", 0, 0, cat({words({1}), full("url ", 0, 1, {})}));
        Bytes stbl = box("stbl", cat({stsd(), stts, ctts, stss, stsz, stsc, stco}));
        Bytes minf = box("minf", cat({box("dinf", dref), stbl}));
        Bytes mdia = box("mdia", cat({full("mdhd", 0, 0, mdhd), full("hdlr", 0, 0, hdlr), minf}));
        Bytes trak = box("trak", cat({tkhd(), edts, mdia}));
        return cat({full("mvhd", 0, 0, mvhd), trak});
    }
};

} // namespace

TEST(MovieBox, ReadsTheTrackAndExpandsItsSamples) {
    MovieBox movie = MovieBox::parse(Movie{}.bytes());
    EXPECT_EQ(movie.timescale, 600u);
    EXPECT_EQ(movie.duration, 1200);
    ASSERT_EQ(movie.tracks.size(), 1u);
    const MovieTrack& t = movie.tracks[0];
    EXPECT_EQ(t.handler, "vide");
    EXPECT_EQ(t.mediaTimescale, 30000u);
    EXPECT_EQ(t.width, 1920);
    EXPECT_EQ(t.height, 1080);
    EXPECT_EQ(t.transform, (std::array<double, 6>{0, 1, -1, 0, 0, 0}));
    ASSERT_TRUE(t.edits);
    ASSERT_EQ(t.edits->size(), 1u);
    EXPECT_EQ((*t.edits)[0].segmentDuration, 1200);
    EXPECT_EQ((*t.edits)[0].mediaTime, 500);
    EXPECT_EQ((*t.edits)[0].rate, 1.0);
    ASSERT_EQ(t.sampleEntries.size(), 1u);
    const auto& entry = t.sampleEntries[0];
    EXPECT_EQ(entry.format, "avc1");
    EXPECT_EQ(entry.width, 1920);
    ASSERT_NE(entry.box("avcC"), nullptr);
    EXPECT_EQ(*entry.box("avcC"), (Bytes{1, 100, 0, 31}));
    EXPECT_NE(entry.box("colr"), nullptr);
    EXPECT_EQ(t.dataInFile, std::vector<bool>{true});

    auto samples = t.samples(1000);
    ASSERT_EQ(samples.size(), 4u);
    // Chunk 1 holds three samples from 100, chunk 2 one from 5000.
    std::vector<int64_t> offsets, decode;
    std::vector<bool> sync;
    for (const auto& s : samples) {
        offsets.push_back(s.offset);
        decode.push_back(s.decodeTime);
        sync.push_back(s.isSync);
        EXPECT_EQ(s.compositionOffset, 500);
    }
    EXPECT_EQ(offsets, (std::vector<int64_t>{100, 110, 130, 5000}));
    EXPECT_EQ(decode, (std::vector<int64_t>{0, 1000, 2000, 3000}));
    EXPECT_EQ(samples[3].duration, 2000);
    EXPECT_EQ(samples[3].size, 40u);
    EXPECT_EQ(sync, (std::vector<bool>{true, false, false, true}));
}

TEST(MovieBox, ReadsWideChunkOffsetsAndVersionOneEdits) {
    Movie m;
    m.stco = full("co64", 0, 0, cat({words({2}), [] {
                                         Bytes b;
                                         put64(b, 0x100000000ull);
                                         put64(b, 0x200000000ull);
                                         return b;
                                     }()}));
    Bytes elst = words({2});
    put64(elst, 300);
    put64(elst, static_cast<uint64_t>(-1)); // empty edit
    put32(elst, 0x00010000);
    put64(elst, 900);
    put64(elst, 0);
    put32(elst, 0x00008000); // half rate
    m.edts = box("edts", full("elst", 1, 0, elst));
    MovieBox movie = MovieBox::parse(m.bytes());
    const auto& t = movie.tracks[0];
    ASSERT_EQ(t.edits->size(), 2u);
    EXPECT_TRUE((*t.edits)[0].isEmpty());
    EXPECT_EQ((*t.edits)[1].rate, 0.5);
    auto samples = t.samples(1000);
    EXPECT_EQ(samples[1].offset, 0x100000000ll + 10);
    EXPECT_EQ(samples[3].offset, 0x200000000ll);
}

TEST(MovieBox, TablesThatLieAreRefused) {
    struct Case {
        const char* name;
        std::function<void(Movie&)> edit;
        bool atParse; // refused while parsing, else while expanding samples
    };
    std::vector<Case> cases{
        {"zero movie timescale", [](Movie& m) { m.movieScale = 0; }, true},
        {"zero media timescale", [](Movie& m) { m.mediaScale = 0; }, true},
        {"more sizes claimed than stored", [](Movie& m) { m.stsz = full("stsz", 0, 0, words({0, 9, 10})); }, false},
        {"more chunks claimed than stored", [](Movie& m) { m.stco = full("stco", 0, 0, words({7, 100})); }, false},
        {"runs name a chunk past the last", [](Movie& m) { m.stsc = full("stsc", 0, 0, words({2, 1, 3, 1, 5, 1, 1})); },
         false},
        {"runs name no description", [](Movie& m) { m.stsc = full("stsc", 0, 0, words({1, 1, 3, 0})); }, false},
        {"chunks hold too few samples", [](Movie& m) { m.stsc = full("stsc", 0, 0, words({1, 1, 1, 1})); }, false},
        {"times cover too few samples", [](Movie& m) { m.stts = full("stts", 0, 0, words({1, 2, 1000})); }, false},
        {"times claim more entries than stored", [](Movie& m) { m.stts = full("stts", 0, 0, words({1000, 4, 1})); },
         false},
        {"a box runs past its parent", [](Movie& m) { m.stss = cat({words({4000}), Bytes{'s', 't', 's', 's'}}); },
         true},
        {"edit list shorter than claimed", [](Movie& m) { m.edts = box("edts", full("elst", 0, 0, words({3}))); }, true},
    };
    for (const auto& c : cases) {
        Movie m;
        c.edit(m);
        if (c.atParse) {
            EXPECT_THROW(MovieBox::parse(m.bytes()), MovieBoxError) << c.name;
        } else {
            MovieBox movie = MovieBox::parse(m.bytes());
            EXPECT_THROW(movie.tracks.at(0).samples(1000), MovieBoxError) << c.name;
        }
    }
}

TEST(MovieBox, SampleCountAboveTheLimitIsRefusedBeforeAnythingIsExpanded) {
    Movie m;
    m.stsz = full("stsz", 0, 0, words({1, 0xffffffff}));
    MovieBox movie = MovieBox::parse(m.bytes());
    EXPECT_EQ(movie.tracks[0].sampleCount(), 0xffffffffu);
    EXPECT_THROW(movie.tracks[0].samples(1 << 20), MovieBoxError);
}

TEST(MovieFileLayout, FindsTheMovieBoxAndRefusesOtherFiles) {
    Bytes moov = box("moov", Movie{}.bytes());
    Bytes file = cat({box("ftyp", Bytes{'i', 's', 'o', 'm', 0, 0, 2, 0}), box("mdat", Bytes(64, 7)), moov});
    auto reader = [](const Bytes& f) {
        return [&f](int64_t offset, size_t count, uint8_t* into) {
            if (offset < 0 || offset + static_cast<int64_t>(count) > static_cast<int64_t>(f.size())) return false;
            std::memcpy(into, f.data() + offset, count);
            return true;
        };
    };
    auto boxes = MovieFileLayout::walk(reader(file), static_cast<int64_t>(file.size()));
    ASSERT_TRUE(boxes);
    ASSERT_EQ(boxes->size(), 3u);
    EXPECT_EQ((*boxes)[2], (TopLevelBox{"moov", 88, 8, static_cast<int64_t>(moov.size())}));
    auto payload = MovieFileLayout::moviePayload(reader(file), static_cast<int64_t>(file.size()));
    ASSERT_TRUE(payload);
    EXPECT_EQ(payload->size(), moov.size() - 8);

    Bytes cut(file.begin(), file.end() - 10);
    EXPECT_THROW(MovieFileLayout::moviePayload(reader(cut), static_cast<int64_t>(cut.size())), MovieBoxError);

    Bytes text{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'};
    EXPECT_FALSE(MovieFileLayout::walk(reader(text), static_cast<int64_t>(text.size())));

    Bytes noMovie = box("ftyp", Bytes{'h', 'e', 'i', 'c', 0, 0, 0, 0});
    EXPECT_FALSE(MovieFileLayout::moviePayload(reader(noMovie), static_cast<int64_t>(noMovie.size())));
}

namespace {

// An esds payload: the elementary stream descriptor around a decoder
// configuration (13 bytes of `config`) and, when given, its specific info.
// `wide` writes every length in four bytes, as FFmpeg's muxer does.
struct Esds {
    uint8_t flags = 0;
    Bytes afterFlags;                          // what the flags announce
    Bytes config = Bytes(13, 0);               // type, buffer size, rates
    std::optional<Bytes> info = Bytes{0x11, 0x90};
    bool wide = false;

    Bytes bytes() const {
        auto descriptor = [&](uint8_t tag, const Bytes& payload) {
            Bytes d{tag};
            if (wide) {
                for (int s = 21; s > 0; s -= 7) d.push_back(static_cast<uint8_t>(0x80 | (payload.size() >> s & 0x7f)));
                d.push_back(static_cast<uint8_t>(payload.size() & 0x7f));
            } else {
                d.push_back(static_cast<uint8_t>(payload.size()));
            }
            d.insert(d.end(), payload.begin(), payload.end());
            return d;
        };
        Bytes decoder = config;
        if (info) {
            Bytes i = descriptor(5, *info);
            decoder.insert(decoder.end(), i.begin(), i.end());
        }
        Bytes stream{0x00, 0x01, flags};
        stream.insert(stream.end(), afterFlags.begin(), afterFlags.end());
        Bytes d = descriptor(4, decoder);
        stream.insert(stream.end(), d.begin(), d.end());
        Bytes sl = descriptor(6, {0x02});
        stream.insert(stream.end(), sl.begin(), sl.end());
        Bytes out{0, 0, 0, 0};
        Bytes e = descriptor(3, stream);
        out.insert(out.end(), e.begin(), e.end());
        return out;
    }
};

template <class Change> Esds with(Change&& change) {
    Esds e;
    change(e);
    return e;
}

} // namespace

TEST(ElementaryStreamDescriptor, FindsTheDecoderSpecificInfo) {
    // Rates whose bytes look like the info's tag must not be taken for it.
    Bytes rates{0x40, 0x15, 0x00, 0x05, 0x05, 0x00, 0x03, 0xe8, 0x05, 0x00, 0x03, 0xe8, 0x05};
    Bytes video(40);
    for (size_t i = 0; i < video.size(); ++i) video[i] = static_cast<uint8_t>(i * 37);
    struct Case {
        const char* name;
        Esds esds;
        Bytes info;
    };
    for (const auto& c : std::vector<Case>{
             {"one-byte lengths", Esds{}, {0x11, 0x90}},
             {"four-byte lengths", with([](Esds& e) { e.wide = true; }), {0x11, 0x90}},
             {"tag bytes inside the rates", with([&](Esds& e) { e.config = rates; }), {0x11, 0x90}},
             {"dependence, URL and OCR",
              with([](Esds& e) { e.flags = 0xe0, e.afterFlags = {0, 2, 3, 'a', 'b', 'c', 0, 4}; }),
              {0x11, 0x90}},
             {"long picture configuration", with([&](Esds& e) { e.info = video, e.wide = true; }), video},
             {"empty info", with([](Esds& e) { e.info = Bytes{}; }), {}},
         }) {
        EXPECT_EQ(ElementaryStreamDescriptor::decoderSpecificInfo(c.esds.bytes()), std::optional<Bytes>(c.info)) << c.name;
    }
}

TEST(ElementaryStreamDescriptor, DescriptorsThatDoNotHoldTogetherGiveNothing) {
    Bytes cut = Esds{}.bytes();
    cut.pop_back(); // the SL descriptor's byte: the stream descriptor now runs past the end
    Bytes shortInfo = Esds{}.bytes();
    shortInfo.resize(shortInfo.size() - 4); // into the info itself
    Bytes notStream = Esds{}.bytes();
    notStream[4] = 4;
    struct Case {
        const char* name;
        Bytes esds;
    };
    for (const auto& c : std::vector<Case>{
             {"empty", {}},
             {"version only", {0, 0, 0, 0}},
             {"cut before its end", cut},
             {"cut inside the info", shortInfo},
             {"no stream descriptor first", notStream},
             {"no info", with([](Esds& e) { e.info = std::nullopt; }).bytes()},
             {"short decoder configuration",
              with([](Esds& e) { e.config = Bytes(12, 0), e.info = std::nullopt; }).bytes()},
             {"URL past the end", with([](Esds& e) { e.flags = 0x40, e.afterFlags = {200}; }).bytes()},
         }) {
        EXPECT_EQ(ElementaryStreamDescriptor::decoderSpecificInfo(c.esds), std::nullopt) << c.name;
    }
}
