#include "Adapters/Render/Sources/CopiedAudioReader.hpp"

#include "Adapters/Media/MovieFile.hpp"
#include "Adapters/Media/StoredSamples.hpp"
#include "Core/Container/PlainAACTrack.hpp"
#include "Core/Jobs.hpp"

#include <cmath>

namespace korvel {

namespace {

int64_t scaled(int64_t value, int64_t from, int64_t to) {
    return static_cast<int64_t>(std::llround(static_cast<long double>(value) * to / from));
}

std::shared_ptr<const CopiedAudio> opened(const std::filesystem::path& url) {
    MovieFile file(url);
    if (!file.isMovieFile()) return nullptr;
    auto movie = file.movieBox();
    if (!movie) return nullptr;
    const auto plain = PlainAACTrack::of(*movie);
    if (!plain) return nullptr;
    const MovieTrack& track = *plain->track;
    const int64_t channels = plain->channels;
    const int64_t rate = plain->rate;
    if (channels > 2 || !AudioFragmentWriter::frequencyIndexes().count(rate)) return nullptr;
    const auto& samples = plain->samples;
    auto audio = std::make_shared<CopiedAudio>();
    audio->url = url;
    audio->delayFrames = plain->delayFrames;
    int64_t bytes = 0;
    for (const auto& s : samples) {
        if (s.size == 0 || s.size > INT32_MAX || !StoredSamples::isStored(track, s)) return nullptr;
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
