#include "Adapters/Audio/DirectAudioFile.hpp"

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

int64_t expectedFrames(const Plan& plan, int sampleRate) {
    return plan.fileRate > 0 ? plan.lengthFrames * sampleRate / plan.fileRate : 0;
}

std::optional<std::vector<std::vector<float>>> held(const Plan& plan, int sampleRate,
                                                    std::vector<std::vector<float>> samples) {
    const int64_t expected = expectedFrames(plan, sampleRate);
    const int64_t count = samples.empty() ? 0 : static_cast<int64_t>(samples.front().size());
    // The decoder also gives the encoder's padding after the edit's end (less
    // than two packets); the file's own length is what the edit presents.
    constexpr int64_t padding = 2048;
    if (sampleRate == plan.fileRate) {
        if (count < plan.lengthFrames || count > plan.lengthFrames + padding) return std::nullopt;
        for (auto& c : samples) c.resize(static_cast<size_t>(plan.lengthFrames));
    } else if (count > expected) {
        for (auto& c : samples) c.resize(static_cast<size_t>(expected));
    }
    return samples;
}

} // namespace korvel::DirectAudioFile
