#include "Adapters/Render/Sources/CopiedAudioReader.hpp"

#include "Adapters/Media/MovieFile.hpp"
#include "Adapters/Media/StoredSamples.hpp"
#include "Core/Jobs.hpp"

#include <cmath>

namespace korvel {

namespace {

// The AudioSpecificConfig of an esds payload (the decoder specific info).
std::optional<std::pair<uint8_t, uint8_t>> specificConfig(const std::vector<uint8_t>& esds) {
    // Descriptors: tag, length in up to four 7-bit bytes, payload.
    size_t at = 4; // version and flags
    auto length = [&](size_t& i) -> std::optional<size_t> {
        size_t n = 0;
        for (int k = 0; k < 4 && i < esds.size(); ++k) {
            const uint8_t b = esds[i++];
            n = (n << 7) | (b & 0x7F);
            if (!(b & 0x80)) return n;
        }
        return std::nullopt;
    };
    while (at < esds.size()) {
        const uint8_t tag = esds[at++];
        auto n = length(at);
        if (!n) return std::nullopt;
        if (tag == 0x03) {
            if (at + 3 > esds.size()) return std::nullopt;
            const uint8_t flags = esds[at + 2];
            at += 3;
            if (flags & 0x80) at += 2;
            if ((flags & 0x40) && at < esds.size()) at += 1 + esds[at];
            if (flags & 0x20) at += 2;
            continue;
        }
        if (tag == 0x04) {
            if (at + 13 > esds.size() || esds[at] != 0x40) return std::nullopt; // MPEG-4 audio
            at += 13;
            continue;
        }
        if (tag == 0x05) {
            if (*n < 2 || at + 2 > esds.size()) return std::nullopt;
            return std::make_pair(esds[at], esds[at + 1]);
        }
        at += *n;
    }
    return std::nullopt;
}

int64_t scaled(int64_t value, int64_t from, int64_t to) {
    return static_cast<int64_t>(std::llround(static_cast<long double>(value) * to / from));
}

std::shared_ptr<const CopiedAudio> opened(const std::filesystem::path& url) {
    MovieFile file(url);
    if (!file.isMovieFile()) return nullptr;
    auto movie = file.movieBox();
    if (!movie || movie->timescale == 0) return nullptr;
    const MovieTrack* track = nullptr;
    for (const auto& t : movie->tracks) {
        if (t.handler == "soun") {
            track = &t;
            break;
        }
    }
    if (!track || track->sampleEntries.size() != 1 || track->mediaTimescale == 0) return nullptr;
    const MovieSampleEntry& entry = track->sampleEntries[0];
    if (entry.format != "mp4a") return nullptr;
    const auto* esds = entry.box("esds");
    if (!esds) return nullptr;
    auto config = specificConfig(*esds);
    if (!config) return nullptr;
    const int objectType = config->first >> 3;
    const bool shortFrames = (config->second >> 2) & 1;
    if (objectType != 2 || shortFrames) return nullptr;
    // The sample entry's count is often a template 2; the decoder
    // configuration says what the stream holds.
    const int64_t channels = (config->second >> 3) & 0xF;
    const int64_t rate = track->mediaTimescale;
    if (channels < 1 || channels > 2 || !AudioFragmentWriter::frequencyIndexes().count(rate)) return nullptr;

    int64_t mediaTime = 0;
    if (track->edits) {
        const MovieEdit* plain = nullptr;
        for (const auto& e : *track->edits) {
            // An empty edit before the sound moves its start away from 0.
            if (e.isEmpty()) return nullptr;
            if (plain) return nullptr;
            plain = &e;
        }
        if (!plain || std::fabs(plain->rate - 1.0) > 1e-9) return nullptr;
        mediaTime = plain->mediaTime;
    }

    auto samples = track->samples(uint64_t(1) << 22);
    if (samples.empty() || !StoredSamples::isStored(*track, samples.front())) return nullptr;
    auto audio = std::make_shared<CopiedAudio>();
    audio->url = url;
    audio->delayFrames = scaled(mediaTime, track->mediaTimescale, rate);
    int64_t bytes = 0;
    int64_t previous = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const auto& s = samples[i];
        if (s.size == 0 || s.size > INT32_MAX || !StoredSamples::isStored(*track, s)) return nullptr;
        const int64_t pts = scaled(s.presentationTime(), track->mediaTimescale, rate);
        if (i > 0 && pts != previous + 1024) return nullptr;
        previous = pts;
        audio->packets.push_back({s.offset, static_cast<int32_t>(s.size)});
        bytes += s.size;
    }
    const double seconds = static_cast<double>(audio->packets.size()) * 1024.0 / static_cast<double>(rate);
    const int64_t bitRate = seconds > 0 ? static_cast<int64_t>(static_cast<double>(bytes) * 8 / seconds) : 0;
    audio->format = {channels, std::max<int64_t>(1, bitRate), rate};
    return audio;
}

} // namespace

namespace CopiedAudioReader {
std::shared_ptr<const CopiedAudio> open(const std::filesystem::path& url) {
    try {
        return opened(url);
    } catch (...) {
        return nullptr;
    }
}
} // namespace CopiedAudioReader

bool CopiedAudio::covers(int64_t durationUs) const {
    const int64_t needed = scaled(durationUs, 1'000'000, format.sampleRate);
    return static_cast<int64_t>(packets.size()) * 1024 - delayFrames + 1024 >= needed;
}

CopiedAudio::Fragment CopiedAudio::fragment(int64_t outStartUs, int64_t outEndUs) const {
    const int64_t start = scaled(outStartUs, 1'000'000, format.sampleRate);
    const int64_t end = scaled(outEndUs, 1'000'000, format.sampleRate);
    const auto window = EncodedAudioStream::window(start, end, delayFrames, static_cast<int64_t>(packets.size()));
    if (window.empty()) throw EngineFailure::invalidParams("This audio segment lies past the end of the plan.");
    std::vector<StoredSamples::Entry> entries;
    for (int64_t i = window.firstPacket; i < window.endPacket; ++i) {
        entries.push_back({packets[static_cast<size_t>(i)].offset, packets[static_cast<size_t>(i)].size});
    }
    const auto bytes = StoredSamples::read(entries, url);
    std::vector<std::vector<uint8_t>> pieces;
    size_t at = 0;
    for (const auto& e : entries) {
        pieces.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(at + static_cast<size_t>(e.size)));
        at += static_cast<size_t>(e.size);
    }
    return {AudioFragmentWriter::fragment(format, pieces, window.skipFrames), window.packetCount()};
}

} // namespace korvel
