#include "Adapters/Audio/DirectAudioFile.hpp"

#include "Adapters/Audio/AudioDecoder.hpp"
#include "Adapters/Media/MovieFile.hpp"
#include "Core/Audio/AudioReadRoute.hpp"
#include "Core/Container/MovieBox.hpp"

#include <cmath>

namespace korvel::DirectAudioFile {

namespace {

// Object type and channel configuration from an esds payload's decoder
// specific info; nothing when it has none.
std::optional<std::pair<int, int>> audioConfig(const std::vector<uint8_t>& esds) {
    const auto info = ElementaryStreamDescriptor::decoderSpecificInfo(esds);
    if (!info || info->size() < 2) return std::nullopt;
    return std::make_pair((*info)[0] >> 3, ((*info)[1] >> 3) & 0xF);
}

// Every packet lasts the same, the last may be shorter.
bool packetsRunEvenly(const std::vector<MovieSample>& samples, int64_t framesPerPacket) {
    if (framesPerPacket <= 0 || samples.empty()) return false;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (samples[i].duration > framesPerPacket) return false;
        if (samples[i].duration < framesPerPacket && i + 1 != samples.size()) return false;
    }
    return true;
}

std::optional<Plan> planned(const std::filesystem::path& url, int sampleRate, int channels) {
    MovieFile file(url);
    if (!file.isMovieFile()) return std::nullopt;
    auto movie = file.movieBox();
    if (!movie || movie->timescale == 0) return std::nullopt;
    const MovieTrack* track = nullptr;
    for (const auto& t : movie->tracks) {
        if (t.handler == "soun") {
            track = &t;
            break;
        }
    }
    if (!track || track->sampleEntries.empty() || track->mediaTimescale == 0) return std::nullopt;
    const auto& entry = track->sampleEntries[0];
    const auto* esds = entry.box("esds");
    if (entry.format != "mp4a" || !esds) return std::nullopt;
    const auto config = audioConfig(*esds);
    if (!config || config->first != 2) return std::nullopt;
    const int trackChannels = config->second;
    const int64_t rate = track->mediaTimescale;
    if (trackChannels < 1 || !AudioReadRoute::direct(AudioReadRoute::Codec::aacLC, static_cast<int>(rate), trackChannels,
                                                    sampleRate, channels)) {
        return std::nullopt;
    }
    // One plain edit from the track's start.
    int64_t presentedMedia = track->mediaDuration;
    if (track->edits) {
        if (track->edits->size() != 1 || track->edits->front().isEmpty()) return std::nullopt;
        const auto& edit = track->edits->front();
        if (std::fabs(edit.rate - 1.0) > 1e-9) return std::nullopt;
        presentedMedia = static_cast<int64_t>(std::llround(static_cast<double>(edit.segmentDuration) * rate / movie->timescale));
    }
    if (!packetsRunEvenly(track->samples(uint64_t(1) << 22), 1024)) return std::nullopt;
    Plan p;
    p.fileRate = rate;
    p.lengthFrames = presentedMedia;
    p.durationUs = static_cast<int64_t>(std::llround(static_cast<double>(presentedMedia) * 1e6 / static_cast<double>(rate)));
    p.readChannels = AudioReadRoute::channelsToRead(trackChannels, channels);
    return p;
}

} // namespace

std::optional<Plan> plan(const std::filesystem::path& url, int sampleRate, int channels) {
    try {
        return planned(url, sampleRate, channels);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<std::vector<std::vector<float>>> read(const std::filesystem::path& url, const Plan& plan, int sampleRate,
                                                    int channels, const JobContext& job) {
    const int64_t expected = plan.fileRate > 0 ? plan.lengthFrames * sampleRate / plan.fileRate : 0;
    auto samples = AudioDecoder::readDirect(url, sampleRate, channels, expected, plan.durationUs, job);
    if (!samples) return std::nullopt;
    const int64_t count = samples->empty() ? 0 : static_cast<int64_t>(samples->front().size());
    // The decoder also gives the encoder's padding after the edit's end (less
    // than two packets); the file's own length is what the edit presents.
    constexpr int64_t padding = 2048;
    if (sampleRate == plan.fileRate) {
        if (count < plan.lengthFrames || count > plan.lengthFrames + padding) return std::nullopt;
        for (auto& c : *samples) c.resize(static_cast<size_t>(plan.lengthFrames));
    } else if (count > expected) {
        for (auto& c : *samples) c.resize(static_cast<size_t>(expected));
    }
    return samples;
}

bool stream(const std::filesystem::path& url, const Plan& plan, int sampleRate, int channels, const JobContext& job,
            const std::function<void(const std::vector<std::span<const float>>&)>& piece) {
    const int64_t expected = plan.fileRate > 0 ? plan.lengthFrames * sampleRate / plan.fileRate : 0;
    return AudioDecoder::streamDirect(url, sampleRate, channels, expected, plan.durationUs, expected, job, piece);
}

} // namespace korvel::DirectAudioFile
