#include "Adapters/Audio/DirectAudioFile.hpp"

#include "Adapters/Audio/AudioDecoder.hpp"
#include "Adapters/Media/MovieFile.hpp"
#include "Core/Audio/AudioReadRoute.hpp"
#include "Core/Container/PlainAACTrack.hpp"

#include <cmath>

namespace korvel::DirectAudioFile {

namespace {

std::optional<Plan> planned(const std::filesystem::path& url, int sampleRate, int channels) {
    MovieFile file(url);
    if (!file.isMovieFile()) return std::nullopt;
    auto movie = file.movieBox();
    if (!movie) return std::nullopt;
    const auto plain = PlainAACTrack::of(*movie);
    if (!plain || !AudioReadRoute::direct(AudioReadRoute::Codec::aacLC, static_cast<int>(plain->rate),
                                          static_cast<int>(plain->channels), sampleRate, channels)) {
        return std::nullopt;
    }
    Plan p;
    p.fileRate = plain->rate;
    p.lengthFrames = plain->presentedFrames;
    p.durationUs = static_cast<int64_t>(
        std::llround(static_cast<double>(plain->presentedFrames) * 1e6 / static_cast<double>(plain->rate)));
    p.readChannels = AudioReadRoute::channelsToRead(static_cast<int>(plain->channels), channels);
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
