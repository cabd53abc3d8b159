#include "Core/Analysis/StreamedSoundMeasures.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

StreamedSoundMeasures::StreamedSoundMeasures(bool measureLoudness) {
    if (measureLoudness) loudness_.emplace(2);
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
    if (loudness_) loudness_->append({mono, mono});
}

void StreamedSoundMeasures::closeWindow() {
    const std::span<const float> w(pending_.data(), pendingCount_);
    levels_.push_back(SilenceDetector::windowLevel(w));
    float peak = 0;
    for (float x : w) peak = std::max(peak, std::fabs(x)); // NaN never wins
    windowPeaks_.push_back(peak);
    pendingCount_ = 0;
}

size_t StreamedSoundMeasures::heldBytes() const {
    return levels_.capacity() * sizeof(double) + windowPeaks_.capacity() * sizeof(float) +
           (loudness_ ? loudness_->heldBytes() : 0);
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
    if (loudness_) results.loudness = loudness_->finish();
    return results;
}

} // namespace korvel
