#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel {

// The one in-memory sound value: planar 32-bit float channels at 48 kHz,
// full scale 1.0. The value never clips.
struct PCMAudio {
    static constexpr int64_t sampleRate = 48'000;
    // The longest sound the engine makes from a client's numbers (4 hours):
    // durations and speeds beyond it are refused before anything is allocated.
    static constexpr int64_t maximumFrames = 4 * 3600 * sampleRate;

    std::vector<std::vector<float>> channels;

    PCMAudio() = default;
    explicit PCMAudio(std::vector<std::vector<float>> channels) : channels(std::move(channels)) {}
    static PCMAudio mono(std::vector<float> samples);

    int64_t frameCount() const { return channels.empty() ? 0 : static_cast<int64_t>(channels[0].size()); }
    int64_t channelCount() const { return static_cast<int64_t>(channels.size()); }
    int64_t durationUs() const;

    std::vector<float> monoMix() const;

    // Channel i transformed; a channel equal to the one before reuses its result.
    template <class Transform> PCMAudio mapChannels(Transform&& transform) const {
        PCMAudio out;
        out.channels.reserve(channels.size());
        for (size_t i = 0; i < channels.size(); ++i) {
            if (i > 0 && sameSamples(channels[i], channels[i - 1]))
                out.channels.push_back(out.channels.back());
            else
                out.channels.push_back(transform(channels[i]));
        }
        return out;
    }

    PCMAudio scaled(double db) const;

    static int64_t frames(int64_t microseconds);
    static int64_t microseconds(int64_t frames);
    static double framePosition(int64_t microseconds);

    // Appends the mean of each interleaved L/R pair; fewer than two samples add nothing.
    static void foldStereo(const float* interleaved, size_t count, std::vector<float>& into);

    // Same length and every sample compares equal.
    static bool sameSamples(const std::vector<float>& a, const std::vector<float>& b);

    bool operator==(const PCMAudio&) const = default;
};

} // namespace korvel
