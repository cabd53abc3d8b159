#include "Core/Audio/PCMAudio.hpp"

#include "Core/Audio/Decibels.hpp"
#include "Core/Time.hpp"

#include <algorithm>

namespace korvel {

PCMAudio PCMAudio::mono(std::vector<float> samples) {
    PCMAudio audio;
    audio.channels.push_back(std::move(samples));
    return audio;
}

int64_t PCMAudio::durationUs() const { return microseconds(frameCount()); }

std::vector<float> PCMAudio::monoMix() const {
    if (channels.empty()) return {};
    if (channels.size() == 1) return channels[0];
    std::vector<float> sum = channels[0];
    for (size_t c = 1; c < channels.size(); ++c) {
        const float* src = channels[c].data();
        float* dst = sum.data();
        for (size_t i = 0, n = sum.size(); i < n; ++i) dst[i] += src[i];
    }
    const float scale = 1.0f / static_cast<float>(channels.size());
    for (float& x : sum) x *= scale;
    return sum;
}

PCMAudio PCMAudio::scaled(double db) const {
    const float gain = Decibels::linear(db);
    return mapChannels([gain](const std::vector<float>& channel) {
        std::vector<float> out(channel.size());
        for (size_t i = 0, n = channel.size(); i < n; ++i) out[i] = channel[i] * gain;
        return out;
    });
}

int64_t PCMAudio::frames(int64_t microseconds) { return Microseconds::frames(microseconds, sampleRate); }

int64_t PCMAudio::microseconds(int64_t frames) { return Microseconds::ofFrames(frames, sampleRate); }

double PCMAudio::framePosition(int64_t microseconds) { return Microseconds::framePosition(microseconds, sampleRate); }

void PCMAudio::foldStereo(const float* interleaved, size_t count, std::vector<float>& into) {
    if (interleaved == nullptr || count < 2) return;
    const size_t pairs = count / 2;
    const size_t base = into.size();
    into.resize(base + pairs);
    float* out = into.data() + base;
    for (size_t i = 0; i < pairs; ++i) out[i] = (interleaved[2 * i] + interleaved[2 * i + 1]) * 0.5f;
}

bool PCMAudio::sameSamples(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

} // namespace korvel
