#pragma once

#include "Core/Analysis/LoudnessAnalyzer.hpp"
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
    void truePeakBlocks(bool last);

    static constexpr size_t window = 480;
    const bool loudness_;
    int64_t frames_ = 0;
    std::array<float, window> pending_{};
    size_t pendingCount_ = 0;
    std::vector<double> levels_;
    std::vector<float> windowPeaks_;
    std::vector<double> kPowers_;
    // K-weighting state of the two sections, transposed direct form.
    double s11_ = 0, s12_ = 0, s21_ = 0, s22_ = 0;
    double kSum_ = 0;
    // True-peak input with its 15 samples of history at the front.
    std::vector<float> peakInput_;
    float truePeak_ = 0;
};

} // namespace korvel
