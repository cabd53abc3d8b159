#include "Core/Analysis/StreamedSoundMeasures.hpp"

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
// The interpolator reads 15 samples before and 16 after each output.
constexpr size_t peakBefore = 15;
constexpr size_t peakAfter = 16;
constexpr size_t peakBlock = 65536;
} // namespace

StreamedSoundMeasures::StreamedSoundMeasures(bool measureLoudness) : loudness_(measureLoudness) {
    if (loudness_) peakInput_.assign(peakBefore, 0.0f); // the zeros before the first sample
}

void StreamedSoundMeasures::append(std::span<const float> mono) {
    size_t at = 0;
    while (at < mono.size()) {
        const size_t n = std::min(window - pendingCount_, mono.size() - at);
        std::copy_n(mono.data() + at, n, pending_.data() + pendingCount_);
        pendingCount_ += n;
        at += n;
        if (pendingCount_ == window) closeWindow();
    }
    frames_ += static_cast<int64_t>(mono.size());
    if (loudness_) {
        peakInput_.insert(peakInput_.end(), mono.begin(), mono.end());
        truePeakBlocks(false);
    }
}

void StreamedSoundMeasures::closeWindow() {
    const std::span<const float> w(pending_.data(), pendingCount_);
    levels_.push_back(SilenceDetector::windowLevel(w));
    float peak = 0;
    for (float x : w) peak = std::max(peak, std::fabs(x)); // NaN never wins
    windowPeaks_.push_back(peak);
    if (loudness_) {
        double acc = 0;
        for (float sample : w) {
            const double x = sample;
            const double y1 = shelf[0] * x + s11_;
            s11_ = (shelf[1] * x - shelf[3] * y1) + s12_;
            s12_ = shelf[2] * x - shelf[4] * y1;
            const double y = highPass[0] * y1 + s21_;
            s21_ = (highPass[1] * y1 - highPass[3] * y) + s22_;
            s22_ = highPass[2] * y1 - highPass[4] * y;
            acc += y * y;
        }
        const double power = acc / static_cast<double>(w.size());
        // The same channel heard in both ears adds its power twice.
        kPowers_.push_back(0.0 + power + power);
    }
    pendingCount_ = 0;
}

void StreamedSoundMeasures::truePeakBlocks(bool last) {
    // Outputs whose reads all lie inside the input are exact; the rest wait
    // for the samples after them (or, at the end, for the zero padding).
    for (;;) {
        const size_t outputs = peakInput_.size() > peakBefore + peakAfter ? peakInput_.size() - peakBefore - peakAfter : 0;
        if (outputs == 0 || (!last && outputs < peakBlock)) return;
        const size_t take = last ? outputs : peakBlock;
        std::vector<float> slice(peakInput_.begin(),
                                 peakInput_.begin() + static_cast<std::ptrdiff_t>(take + peakBefore + peakAfter));
        const std::vector<float> envelope = TruePeak::envelope(slice);
        for (size_t i = peakBefore; i < peakBefore + take; ++i) truePeak_ = std::max(truePeak_, envelope[i]);
        peakInput_.erase(peakInput_.begin(), peakInput_.begin() + static_cast<std::ptrdiff_t>(take));
        if (last) return;
    }
}

size_t StreamedSoundMeasures::heldBytes() const {
    return levels_.capacity() * sizeof(double) + windowPeaks_.capacity() * sizeof(float) +
           kPowers_.capacity() * sizeof(double) + peakInput_.capacity() * sizeof(float);
}

StreamedSoundMeasures::Results StreamedSoundMeasures::finish() {
    if (pendingCount_ > 0) closeWindow();
    Results results;
    const int64_t durationUs = (frames_ * 1'000'000 + 24'000) / 48'000;
    results.silences = SilenceDetector::analyze(levels_, durationUs);

    results.waveform.bucketUs = Waveform::bucketUs(durationUs);
    if (frames_ > 0) {
        const auto perBucket = static_cast<size_t>(results.waveform.bucketUs / SilenceDetector::windowUs);
        const size_t buckets = (windowPeaks_.size() + perBucket - 1) / perBucket;
        results.waveform.peaks.resize(buckets);
        for (size_t b = 0; b < buckets; ++b) {
            float peak = 0;
            const size_t end = std::min(windowPeaks_.size(), (b + 1) * perBucket);
            for (size_t i = b * perBucket; i < end; ++i) peak = std::max(peak, windowPeaks_[i]);
            results.waveform.peaks[b] = std::min(1.0f, peak);
        }
    }

    if (loudness_) {
        peakInput_.insert(peakInput_.end(), peakAfter, 0.0f); // the zeros after the last sample
        truePeakBlocks(true);
        LoudnessProfile profile;
        profile.steps = std::move(kPowers_);
        profile.frameCount = frames_;
        const auto regions = SilenceDetector::speechRegions(results.silences.runs, PCMAudio::microseconds(frames_),
                                                            LoudnessAnalyzer::phrasePauseUs);
        std::vector<MeasuredPhrase> measured;
        measured.reserve(regions.size());
        for (const SpeechRegion& region : regions) {
            const double lufs = profile.lufs(PCMAudio::frames(region.startUs), PCMAudio::frames(region.endUs));
            measured.push_back({region.startUs, region.endUs, lufs});
        }
        const std::vector<double> gains = PhraseLeveling::gains(measured, VoiceLevel::targetLufs);
        LoudnessReading reading;
        reading.integratedLufs = profile.integrated();
        reading.truePeakDb = truePeak_ > 0 ? std::max(TruePeak::silenceDb, 20.0 * std::log10(static_cast<double>(truePeak_)))
                                           : TruePeak::silenceDb;
        const size_t count = std::min(measured.size(), gains.size());
        for (size_t i = 0; i < count; ++i)
            reading.phrases.push_back({measured[i].startUs, measured[i].endUs, measured[i].lufs, gains[i]});
        results.loudness = std::move(reading);
    }
    return results;
}

} // namespace korvel
