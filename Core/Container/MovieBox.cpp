#include "Core/Container/MovieBox.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace korvel {

namespace {

[[noreturn]] void fail(const std::string& why) { throw MovieBoxError(why); }

// A bounds-checked big-endian cursor over a span of bytes.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t remaining() const { return size_ - pos_; }
    size_t position() const { return pos_; }
    const uint8_t* here() const { return data_ + pos_; }

    void skip(size_t n) {
        need(n);
        pos_ += n;
    }
    uint8_t u8() {
        need(1);
        return data_[pos_++];
    }
    uint16_t u16() {
        need(2);
        uint16_t v = static_cast<uint16_t>(data_[pos_] << 8 | data_[pos_ + 1]);
        pos_ += 2;
        return v;
    }
    uint32_t u32() {
        need(4);
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | data_[pos_ + i];
        pos_ += 4;
        return v;
    }
    uint64_t u64() {
        uint64_t hi = u32();
        return hi << 32 | u32();
    }
    int32_t s32() { return static_cast<int32_t>(u32()); }
    int64_t s64() { return static_cast<int64_t>(u64()); }
    std::string fourCC() {
        need(4);
        std::string s(reinterpret_cast<const char*>(data_ + pos_), 4);
        pos_ += 4;
        return s;
    }

private:
    void need(size_t n) const {
        if (n > size_ - pos_) fail("a box is shorter than its fields");
    }
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

struct Child {
    std::string type;
    size_t offset = 0; // payload, relative to the parent's data
    size_t size = 0;
};

// The child boxes filling a payload. Strict: every box must fit its parent.
std::vector<Child> children(const uint8_t* data, size_t size, size_t base = 0) {
    std::vector<Child> out;
    size_t pos = 0;
    while (pos < size) {
        if (size - pos < 8) fail("a box header is cut short");
        Bytes b(data + pos, size - pos);
        uint64_t boxSize = b.u32();
        std::string type = b.fourCC();
        size_t header = 8;
        if (boxSize == 1) {
            boxSize = b.u64();
            header = 16;
        } else if (boxSize == 0) {
            boxSize = size - pos;
        }
        if (boxSize < header || boxSize > size - pos) fail("a box runs past its parent");
        out.push_back({type, base + pos + header, static_cast<size_t>(boxSize) - header});
        pos += static_cast<size_t>(boxSize);
    }
    return out;
}

// Children of a sample entry: lenient, because many writers end the list
// with padding or a four-byte terminator.
std::vector<std::pair<std::string, std::vector<uint8_t>>> entryBoxes(const uint8_t* data, size_t size) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> out;
    size_t pos = 0;
    while (size - pos >= 8) {
        Bytes b(data + pos, size - pos);
        uint32_t boxSize = b.u32();
        std::string type = b.fourCC();
        if (boxSize < 8 || boxSize > size - pos) break;
        out.emplace_back(type, std::vector<uint8_t>(data + pos + 8, data + pos + boxSize));
        pos += boxSize;
    }
    return out;
}

const Child* find(const std::vector<Child>& list, std::string_view type) {
    for (const auto& c : list)
        if (c.type == type) return &c;
    return nullptr;
}

double fixed16(int32_t v) { return static_cast<double>(v) / 65536.0; }

class Parser {
public:
    explicit Parser(std::shared_ptr<const std::vector<uint8_t>> bytes) : bytes_(std::move(bytes)) {}

    MovieBox movie() {
        MovieBox box;
        auto top = children(data(), bytes_->size());
        const Child* mvhd = find(top, "mvhd");
        if (!mvhd) fail("the movie has no header");
        Bytes h = at(*mvhd);
        uint8_t version = h.u8();
        h.skip(3);
        if (version == 1) {
            h.skip(16);
            box.timescale = h.u32();
            box.duration = clampDuration(h.u64());
        } else {
            h.skip(8);
            box.timescale = h.u32();
            box.duration = h.u32();
        }
        if (box.timescale == 0) fail("the movie timescale is zero");
        box.fragmented = find(top, "mvex") != nullptr;
        for (const auto& c : top) {
            if (c.type == "trak") box.tracks.push_back(track(c));
        }
        return box;
    }

private:
    const uint8_t* data() const { return bytes_->data(); }
    Bytes at(const Child& c) const { return Bytes(data() + c.offset, c.size); }
    std::vector<Child> inside(const Child& c) const { return children(data() + c.offset, c.size, c.offset); }

    static int64_t clampDuration(uint64_t v) {
        // All ones means "unknown" in version 1 headers.
        return v > static_cast<uint64_t>(INT64_MAX) ? 0 : static_cast<int64_t>(v);
    }

    MovieTrack track(const Child& trak) {
        MovieTrack t;
        t.bytes = bytes_;
        auto kids = inside(trak);
        const Child* tkhd = find(kids, "tkhd");
        const Child* mdia = find(kids, "mdia");
        if (!tkhd || !mdia) fail("a track lacks its header or media");
        trackHeader(*tkhd, t);
        if (const Child* edts = find(kids, "edts")) {
            auto e = inside(*edts);
            if (const Child* elst = find(e, "elst")) t.edits = editList(*elst);
        }
        auto media = inside(*mdia);
        const Child* mdhd = find(media, "mdhd");
        const Child* hdlr = find(media, "hdlr");
        const Child* minf = find(media, "minf");
        if (!mdhd || !hdlr || !minf) fail("a track's media lacks its header, handler or information");
        mediaHeader(*mdhd, t);
        Bytes hd = at(*hdlr);
        hd.skip(8);
        t.handler = hd.fourCC();
        auto info = inside(*minf);
        if (const Child* dinf = find(info, "dinf")) {
            auto d = inside(*dinf);
            if (const Child* dref = find(d, "dref")) t.dataInFile = dataReferences(*dref);
        }
        const Child* stbl = find(info, "stbl");
        if (!stbl) fail("a track has no sample table");
        sampleTable(*stbl, t);
        return t;
    }

    void trackHeader(const Child& c, MovieTrack& t) {
        Bytes b = at(c);
        uint8_t version = b.u8();
        uint32_t flags = static_cast<uint32_t>(b.u8()) << 16 | b.u16();
        t.enabled = (flags & 1) != 0;
        if (version == 1) {
            b.skip(16);
            t.trackId = b.u32();
            b.skip(4 + 8);
        } else {
            b.skip(8);
            t.trackId = b.u32();
            b.skip(4 + 4);
        }
        b.skip(8 + 2 + 2 + 2 + 2);
        int32_t m[9];
        for (auto& v : m) v = b.s32();
        t.transform = {fixed16(m[0]), fixed16(m[1]), fixed16(m[3]), fixed16(m[4]), fixed16(m[6]), fixed16(m[7])};
        t.width = static_cast<double>(b.u32()) / 65536.0;
        t.height = static_cast<double>(b.u32()) / 65536.0;
    }

    void mediaHeader(const Child& c, MovieTrack& t) {
        Bytes b = at(c);
        uint8_t version = b.u8();
        b.skip(3);
        if (version == 1) {
            b.skip(16);
            t.mediaTimescale = b.u32();
            t.mediaDuration = clampDuration(b.u64());
        } else {
            b.skip(8);
            t.mediaTimescale = b.u32();
            t.mediaDuration = b.u32();
        }
        if (t.mediaTimescale == 0) fail("a media timescale is zero");
        if (t.mediaTimescale > static_cast<uint32_t>(INT32_MAX)) fail("a media timescale is out of range");
    }

    std::vector<MovieEdit> editList(const Child& c) {
        Bytes b = at(c);
        uint8_t version = b.u8();
        b.skip(3);
        uint32_t count = b.u32();
        size_t entry = version == 1 ? 20 : 12;
        if (count > b.remaining() / entry) fail("the edit list is shorter than it claims");
        std::vector<MovieEdit> edits;
        edits.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            MovieEdit e;
            if (version == 1) {
                e.segmentDuration = clampDuration(b.u64());
                e.mediaTime = b.s64();
            } else {
                e.segmentDuration = b.u32();
                e.mediaTime = b.s32();
            }
            int16_t whole = static_cast<int16_t>(b.u16());
            uint16_t fraction = b.u16();
            e.rate = whole + fraction / 65536.0;
            if (e.mediaTime < -1) fail("an edit starts before the media");
            edits.push_back(e);
        }
        return edits;
    }

    std::vector<bool> dataReferences(const Child& c) {
        Bytes b = at(c);
        b.skip(4);
        uint32_t count = b.u32();
        std::vector<bool> inFile;
        auto list = children(b.here(), b.remaining());
        for (uint32_t i = 0; i < count && i < list.size(); ++i) {
            const auto& e = list[i];
            bool selfContained = false;
            if (e.size >= 4) {
                Bytes f(b.here() + e.offset, e.size);
                f.skip(1);
                uint32_t flags = static_cast<uint32_t>(f.u8()) << 16 | f.u16();
                selfContained = (flags & 1) != 0;
            }
            inFile.push_back(selfContained);
        }
        return inFile;
    }

    void sampleTable(const Child& stbl, MovieTrack& t) {
        auto kids = inside(stbl);
        const Child* stsd = find(kids, "stsd");
        if (!stsd) fail("a sample table has no descriptions");
        sampleDescriptions(*stsd, t);
        auto table = [&](const char* type, MovieTrack::Table& into) {
            if (const Child* c = find(kids, type)) into = {c->offset, c->size, true};
        };
        table("stts", t.tables.stts);
        table("ctts", t.tables.ctts);
        table("stss", t.tables.stss);
        table("stsz", t.tables.stsz);
        table("stz2", t.tables.stz2);
        table("stsc", t.tables.stsc);
        table("stco", t.tables.stco);
        table("co64", t.tables.co64);
    }

    void sampleDescriptions(const Child& c, MovieTrack& t) {
        Bytes b = at(c);
        b.skip(4);
        uint32_t count = b.u32();
        auto list = children(b.here(), b.remaining());
        if (count > list.size()) fail("the sample descriptions are fewer than claimed");
        for (uint32_t i = 0; i < count; ++i) {
            const auto& e = list[i];
            Bytes d(b.here() + e.offset, e.size);
            MovieSampleEntry entry;
            entry.format = e.type;
            d.skip(6);
            entry.dataReferenceIndex = d.u16();
            if (t.handler == "vide") {
                d.skip(16);
                entry.width = d.u16();
                entry.height = d.u16();
                d.skip(4 + 4 + 4 + 2 + 32 + 2 + 2);
            } else if (t.handler == "soun") {
                uint16_t soundVersion = d.u16();
                d.skip(6);
                entry.channelCount = d.u16();
                d.skip(6);
                entry.sampleRate = d.u32() >> 16;
                if (soundVersion == 1) {
                    d.skip(16);
                } else if (soundVersion == 2) {
                    d.skip(4);
                    uint64_t bits = d.u64();
                    double rate;
                    static_assert(sizeof rate == sizeof bits);
                    std::memcpy(&rate, &bits, sizeof rate);
                    entry.sampleRate = std::isfinite(rate) && rate > 0 && rate < 1e9 ? static_cast<int64_t>(rate) : 0;
                    entry.channelCount = d.u32();
                    d.skip(20);
                }
            } else {
                entry.boxes = {};
                t.sampleEntries.push_back(std::move(entry));
                continue;
            }
            entry.boxes = entryBoxes(d.here(), d.remaining());
            t.sampleEntries.push_back(std::move(entry));
        }
    }

    std::shared_ptr<const std::vector<uint8_t>> bytes_;
};

// Run-length tables walked alongside the samples.
struct Runs {
    Bytes b;
    uint32_t left = 0; // entries left
    explicit Runs(const uint8_t* data, size_t size) : b(data, size) {}
};

} // namespace

std::optional<std::vector<TopLevelBox>> MovieFileLayout::walk(const Reader& read, int64_t fileSize) {
    static constexpr std::array<std::string_view, 9> starts{"ftyp", "moov", "mdat", "free", "skip",
                                                            "wide", "pnot", "uuid", "styp"};
    std::vector<TopLevelBox> boxes;
    int64_t pos = 0;
    while (pos < fileSize && static_cast<int>(boxes.size()) < maxTopLevelBoxes) {
        if (fileSize - pos < 8) break;
        uint8_t header[16];
        if (!read(pos, 8, header)) break;
        Bytes b(header, 8);
        uint64_t size = b.u32();
        std::string type = b.fourCC();
        if (boxes.empty() && std::find(starts.begin(), starts.end(), type) == starts.end()) return std::nullopt;
        int64_t headerSize = 8;
        if (size == 1) {
            if (fileSize - pos < 16 || !read(pos + 8, 8, header + 8)) break;
            Bytes l(header + 8, 8);
            size = l.u64();
            headerSize = 16;
        } else if (size == 0) {
            size = static_cast<uint64_t>(fileSize - pos);
        }
        if (size < static_cast<uint64_t>(headerSize) || size > static_cast<uint64_t>(INT64_MAX - pos)) {
            if (boxes.empty()) return std::nullopt;
            break;
        }
        boxes.push_back({type, pos, headerSize, static_cast<int64_t>(size)});
        pos += static_cast<int64_t>(size);
    }
    if (boxes.empty()) return std::nullopt;
    return boxes;
}

std::optional<std::vector<uint8_t>> MovieFileLayout::moviePayload(const Reader& read, int64_t fileSize) {
    auto boxes = walk(read, fileSize);
    if (!boxes) return std::nullopt;
    for (const auto& box : *boxes) {
        if (box.type != "moov") continue;
        if (box.size > fileSize - box.offset) fail("the movie box runs past the end of the file");
        int64_t length = box.size - box.headerSize;
        if (length > maxMovieBoxBytes) fail("the movie box is too large");
        std::vector<uint8_t> payload(static_cast<size_t>(length));
        if (length > 0 && !read(box.offset + box.headerSize, payload.size(), payload.data())) {
            fail("the movie box can't be read");
        }
        return payload;
    }
    return std::nullopt;
}

const std::vector<uint8_t>* MovieSampleEntry::box(std::string_view type) const {
    for (const auto& [t, payload] : boxes)
        if (t == type) return &payload;
    return nullptr;
}

std::optional<ElementaryStreamDescriptor::DecoderConfig> ElementaryStreamDescriptor::decoderConfig(std::span<const uint8_t> esds) {
    size_t pos = 4; // version and flags
    // A tag and a length of up to four 7-bit groups; false when the
    // descriptor runs past the payload.
    auto descriptor = [&](uint8_t& tag, size_t& length) {
        if (pos >= esds.size()) return false;
        tag = esds[pos++];
        length = 0;
        for (int i = 0; i < 4; ++i) {
            if (pos >= esds.size()) return false;
            uint8_t b = esds[pos++];
            length = length << 7 | (b & 0x7f);
            if (!(b & 0x80)) break;
        }
        return length <= esds.size() - pos;
    };
    uint8_t tag;
    size_t length;
    // Elementary stream descriptor: id, flags and what the flags announce.
    if (!descriptor(tag, length) || tag != 3 || length < 3) return std::nullopt;
    uint8_t flags = esds[pos + 2];
    pos += 3;
    if (flags & 0x80) pos += 2;
    if (flags & 0x40) {
        if (pos >= esds.size()) return std::nullopt;
        pos += 1 + esds[pos];
    }
    if (flags & 0x20) pos += 2;
    // Decoder configuration: 13 bytes of type, buffer size and rates.
    if (!descriptor(tag, length) || tag != 4 || length < 13) return std::nullopt;
    DecoderConfig config;
    config.objectTypeIndication = esds[pos];
    pos += 13;
    if (!descriptor(tag, length) || tag != 5) return std::nullopt;
    config.specificInfo.assign(esds.begin() + static_cast<ptrdiff_t>(pos),
                               esds.begin() + static_cast<ptrdiff_t>(pos + length));
    return config;
}

std::optional<std::vector<uint8_t>> ElementaryStreamDescriptor::decoderSpecificInfo(std::span<const uint8_t> esds) {
    auto config = decoderConfig(esds);
    if (!config) return std::nullopt;
    return std::move(config->specificInfo);
}

MovieBox MovieBox::parse(std::vector<uint8_t> payload) {
    auto shared = std::make_shared<const std::vector<uint8_t>>(std::move(payload));
    return Parser(shared).movie();
}

uint64_t MovieTrack::sampleCount() const {
    const Table& t = tables.stsz.present ? tables.stsz : tables.stz2;
    if (!t.present || !bytes) return 0;
    Bytes b(bytes->data() + t.offset, t.size);
    try {
        b.skip(4);
        b.skip(4);
        return b.u32();
    } catch (const MovieBoxError&) {
        return 0;
    }
}

std::vector<MovieSample> MovieTrack::samples(uint64_t limit) const {
    if (!bytes) return {};
    const uint8_t* base = bytes->data();
    auto open = [&](const Table& t) { return Bytes(base + t.offset, t.size); };

    // Sizes.
    std::vector<uint32_t> sizes;
    uint64_t count = 0;
    if (tables.stsz.present) {
        Bytes b = open(tables.stsz);
        b.skip(4);
        uint32_t constant = b.u32();
        count = b.u32();
        if (count > limit) fail("the track has too many samples");
        if (constant == 0) {
            if (count > b.remaining() / 4) fail("the sample sizes are fewer than claimed");
            sizes.resize(count);
            for (auto& s : sizes) s = b.u32();
        } else {
            sizes.assign(count, constant);
        }
    } else if (tables.stz2.present) {
        Bytes b = open(tables.stz2);
        b.skip(4 + 3);
        uint8_t field = b.u8();
        count = b.u32();
        if (count > limit) fail("the track has too many samples");
        if (field != 4 && field != 8 && field != 16) fail("the compact sample sizes have an unknown width");
        if (count > b.remaining() * 8 / field) fail("the sample sizes are fewer than claimed");
        sizes.resize(count);
        for (uint64_t i = 0; i < count; ++i) {
            if (field == 16) sizes[i] = b.u16();
            else if (field == 8) sizes[i] = b.u8();
            else {
                uint8_t byte = b.here()[0];
                sizes[i] = i % 2 == 0 ? byte >> 4 : byte & 0x0f;
                if (i % 2 == 1) b.skip(1);
            }
        }
    } else if (tables.stts.present) {
        fail("the track has no sample sizes");
    }
    if (count == 0) return {};
    if (!tables.stts.present || !tables.stsc.present || !(tables.stco.present || tables.co64.present)) {
        fail("the track lacks a sample table");
    }

    std::vector<MovieSample> out(count);

    // Decode times.
    {
        Bytes b = open(tables.stts);
        b.skip(4);
        uint32_t entries = b.u32();
        if (entries > b.remaining() / 8) fail("the time-to-sample table is shorter than it claims");
        uint64_t i = 0;
        int64_t time = 0;
        for (uint32_t e = 0; e < entries && i < count; ++e) {
            uint32_t n = b.u32();
            uint32_t delta = b.u32();
            for (uint32_t k = 0; k < n && i < count; ++k, ++i) {
                out[i].decodeTime = time;
                out[i].duration = delta;
                if (__builtin_add_overflow(time, static_cast<int64_t>(delta), &time)) fail("decode times overflow");
            }
        }
        if (i < count) fail("the time-to-sample table covers fewer samples than there are");
    }

    // Composition offsets.
    if (tables.ctts.present) {
        Bytes b = open(tables.ctts);
        b.skip(4);
        uint32_t entries = b.u32();
        if (entries > b.remaining() / 8) fail("the composition offsets are shorter than claimed");
        uint64_t i = 0;
        for (uint32_t e = 0; e < entries && i < count; ++e) {
            uint32_t n = b.u32();
            int32_t offset = b.s32(); // signed in practice, whatever the version says
            for (uint32_t k = 0; k < n && i < count; ++k, ++i) out[i].compositionOffset = offset;
        }
    }

    // Sync samples; without the table every sample is one.
    if (tables.stss.present) {
        Bytes b = open(tables.stss);
        b.skip(4);
        uint32_t entries = b.u32();
        if (entries > b.remaining() / 4) fail("the sync sample table is shorter than it claims");
        for (uint32_t e = 0; e < entries; ++e) {
            uint32_t number = b.u32();
            if (number >= 1 && number <= count) out[number - 1].isSync = true;
        }
    } else {
        for (auto& s : out) s.isSync = true;
    }

    // Chunk offsets.
    std::vector<int64_t> chunks;
    {
        bool wide = tables.co64.present;
        Bytes b = open(wide ? tables.co64 : tables.stco);
        b.skip(4);
        uint32_t entries = b.u32();
        if (entries > b.remaining() / (wide ? 8 : 4)) fail("the chunk offsets are fewer than claimed");
        chunks.resize(entries);
        for (auto& c : chunks) {
            uint64_t v = wide ? b.u64() : b.u32();
            if (v > static_cast<uint64_t>(INT64_MAX)) fail("a chunk offset is out of range");
            c = static_cast<int64_t>(v);
        }
    }

    // Samples to chunks.
    {
        Bytes b = open(tables.stsc);
        b.skip(4);
        uint32_t entries = b.u32();
        if (entries > b.remaining() / 12) fail("the sample-to-chunk table is shorter than it claims");
        struct Run {
            uint32_t firstChunk, perChunk, description;
        };
        std::vector<Run> runs(entries);
        for (auto& r : runs) {
            r.firstChunk = b.u32();
            r.perChunk = b.u32();
            r.description = b.u32();
        }
        uint64_t i = 0;
        for (size_t r = 0; r < runs.size() && i < count; ++r) {
            uint64_t first = runs[r].firstChunk;
            uint64_t last = r + 1 < runs.size() ? runs[r + 1].firstChunk : chunks.size() + 1;
            if (first < 1 || last <= first || last > chunks.size() + 1) fail("the sample-to-chunk table is out of order");
            if (runs[r].description < 1 || runs[r].description > sampleEntries.size()) {
                fail("a sample names a description that does not exist");
            }
            for (uint64_t chunk = first; chunk < last && i < count; ++chunk) {
                int64_t offset = chunks[chunk - 1];
                for (uint32_t k = 0; k < runs[r].perChunk && i < count; ++k, ++i) {
                    out[i].offset = offset;
                    out[i].size = sizes[i];
                    out[i].descriptionIndex = runs[r].description - 1;
                    if (__builtin_add_overflow(offset, static_cast<int64_t>(sizes[i]), &offset)) {
                        fail("a sample lies beyond any file");
                    }
                }
            }
        }
        if (i < count) fail("the chunks hold fewer samples than there are");
    }
    return out;
}

} // namespace korvel
