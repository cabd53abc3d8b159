#include "Core/Analysis/StreamedLoudness.hpp"

#include "Core/Analysis/SilenceDetector.hpp"
#include "Core/Audio/LoudnessProfile.hpp"
#include "Core/Audio/PhraseLeveling.hpp"
#include "Core/Audio/TruePeak.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

namespace {
// ITU-R BS.1770 K-weighting at 48 kHz, as the loudness profile filters.
constexpr double shelf[5] = {1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241,
                             0.73248077421585};
constexpr double highPass[5] = {1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621};
constexpr size_t window = 480;
// The interpolator reads 15 samples before and 16 after each output.
constexpr size_t peakBefore = 15;
constexpr size_t peakAfter = 16;
constexpr size_t peakBlock = 65536;
} // namespace

StreamedLoudness::StreamedLoudness(size_t channels) : channels_(channels) {
    for (Channel& c : channels_) {
        c.pending.reserve(window);
        c.peakInput.assign(peakBefore, 0.0f); // the zeros before the first sample
    }
}

void StreamedLoudness::append(const std::vector<std::span<const float>>& pieces) {
    if (pieces.size() != channels_.size() || pieces.empty()) return;
    const size_t n = pieces[0].size();
    size_t at = 0;
    while (at < n) {
        const size_t take = std::min(window - channels_[0].pending.size(), n - at);
        for (size_t c = 0; c < channels_.size(); ++c)
            channels_[c].pending.insert(channels_[c].pending.end(), pieces[c].begin() + static_cast<std::ptrdiff_t>(at),
                                        pieces[c].begin() + static_cast<std::ptrdiff_t>(at + take));
        at += take;
        if (channels_[0].pending.size() == window) closeWindow(window);
    }
    for (size_t c = 0; c < channels_.size(); ++c) {
        channels_[c].peakInput.insert(channels_[c].peakInput.end(), pieces[c].begin(), pieces[c].end());
        truePeakBlocks(channels_[c], false);
    }
    frames_ += static_cast<int64_t>(n);
}

void StreamedLoudness::closeWindow(size_t length) {
    double step = 0;
    std::vector<float> mix(channels_[0].pending.begin(), channels_[0].pending.begin() + static_cast<std::ptrdiff_t>(length));
    for (size_t c = 0; c < channels_.size(); ++c) {
        Channel& ch = channels_[c];
        double acc = 0;
        for (size_t i = 0; i < length; ++i) {
            const double x = ch.pending[i];
            const double y1 = shelf[0] * x + ch.s11;
            ch.s11 = (shelf[1] * x - shelf[3] * y1) + ch.s12;
            ch.s12 = shelf[2] * x - shelf[4] * y1;
            const double y = highPass[0] * y1 + ch.s21;
            ch.s21 = (highPass[1] * y1 - highPass[3] * y) + ch.s22;
            ch.s22 = highPass[2] * y1 - highPass[4] * y;
            acc += y * y;
        }
        step += acc / static_cast<double>(length);
        if (c > 0)
            for (size_t i = 0; i < length; ++i) mix[i] += ch.pending[i];
        ch.pending.clear();
    }
    steps_.push_back(step);
    if (channels_.size() > 1) {
        const float scale = 1.0f / static_cast<float>(channels_.size());
        for (float& x : mix) x *= scale;
    }
    mixLevels_.push_back(SilenceDetector::windowLevel(mix));
}

void StreamedLoudness::truePeakBlocks(Channel& ch, bool last) {
    // Outputs whose reads all lie inside the input are exact; the rest wait
    // for the samples after them (or, at the end, for the zero padding).
    for (;;) {
        const size_t have = ch.peakInput.size();
        const size_t outputs = have > peakBefore + peakAfter ? have - peakBefore - peakAfter : 0;
        if (outputs == 0 || (!last && outputs < peakBlock)) return;
        const size_t take = last ? outputs : peakBlock;
        const std::vector<float> slice(ch.peakInput.begin(),
                                       ch.peakInput.begin() + static_cast<std::ptrdiff_t>(take + peakBefore + peakAfter));
        const std::vector<float> envelope = TruePeak::envelope(slice);
        for (size_t i = peakBefore; i < peakBefore + take; ++i) ch.truePeak = std::max(ch.truePeak, envelope[i]);
        ch.peakInput.erase(ch.peakInput.begin(), ch.peakInput.begin() + static_cast<std::ptrdiff_t>(take));
        if (last) return;
    }
}

size_t StreamedLoudness::heldBytes() const {
    size_t bytes = steps_.capacity() * sizeof(double) + mixLevels_.capacity() * sizeof(double);
    for (const Channel& c : channels_) bytes += c.peakInput.capacity() * sizeof(float) + c.pending.capacity() * sizeof(float);
    return bytes;
}

LoudnessReading StreamedLoudness::finish() {
    if (!channels_.empty() && !channels_[0].pending.empty()) closeWindow(channels_[0].pending.size());
    float peak = 0;
    for (Channel& c : channels_) {
        c.peakInput.insert(c.peakInput.end(), peakAfter, 0.0f); // the zeros after the last sample
        truePeakBlocks(c, true);
        peak = std::max(peak, c.truePeak);
    }
    LoudnessProfile profile;
    profile.steps = std::move(steps_);
    profile.frameCount = frames_;
    const int64_t durationUs = (frames_ * 1'000'000 + 24'000) / 48'000;
    const auto silences = SilenceDetector::analyze(mixLevels_, durationUs);
    const auto regions =
        SilenceDetector::speechRegions(silences.runs, PCMAudio::microseconds(frames_), LoudnessAnalyzer::phrasePauseUs);
    std::vector<MeasuredPhrase> measured;
    measured.reserve(regions.size());
    for (const SpeechRegion& region : regions)
        measured.push_back(
            {region.startUs, region.endUs, profile.lufs(PCMAudio::frames(region.startUs), PCMAudio::frames(region.endUs))});
    const std::vector<double> gains = PhraseLeveling::gains(measured, VoiceLevel::targetLufs);
    LoudnessReading reading;
    reading.integratedLufs = profile.integrated();
    reading.truePeakDb =
        peak > 0 ? std::max(TruePeak::silenceDb, 20.0 * std::log10(static_cast<double>(peak))) : TruePeak::silenceDb;
    const size_t count = std::min(measured.size(), gains.size());
    for (size_t i = 0; i < count; ++i)
        reading.phrases.push_back({measured[i].startUs, measured[i].endUs, measured[i].lufs, gains[i]});
    return reading;
}

} // namespace korvel
