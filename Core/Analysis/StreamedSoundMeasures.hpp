#pragma once

#include "Core/Analysis/LoudnessAnalyzer.hpp"
#include "Core/Analysis/StreamedLoudness.hpp"
#include "Core/Analysis/SilenceDetector.hpp"
#include "Core/Analysis/Waveform.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korvel {

// Silences, waveform and (for a voice heard in both ears) loudness of a mono
// 48 kHz sound fed piece by piece, so an hour of sound never sits in memory:
// it keeps only what the measures are made of, per 10 ms window (level,
// peak, K-weighted power). The results are those of the whole-sound
// detectors on the same samples.
class StreamedSoundMeasures {
public:
    explicit StreamedSoundMeasures(bool measureLoudness);

    void append(std::span<const float> mono);

    struct Results {
        SilenceDetector::Result silences;
        Waveform::Result waveform;
        std::optional<LoudnessReading> loudness;
    };
    Results finish();

    int64_t frameCount() const { return frames_; }
    // Bytes held now, for reports of peak memory.
    size_t heldBytes() const;

private:
    void closeWindow();

    static constexpr size_t window = 480;
    int64_t frames_ = 0;
    std::array<float, window> pending_{};
    size_t pendingCount_ = 0;
    std::vector<double> levels_;
    std::vector<float> windowPeaks_;
    // The one channel heard in both ears.
    std::optional<StreamedLoudness> loudness_;
};

} // namespace korvel
