#pragma once

#include "Core/Analysis/LoudnessAnalyzer.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace korvel {

// The loudness reading of a 48 kHz sound fed piece by piece, channel by
// channel, keeping per 10 ms only the K-weighted power and the level of the
// mono mix: the reading LoudnessAnalyzer gives for the whole sound.
class StreamedLoudness {
public:
    explicit StreamedLoudness(size_t channels);

    // One span per channel, all of one length.
    void append(const std::vector<std::span<const float>>& channels);
    LoudnessReading finish();

    size_t heldBytes() const;

private:
    struct Channel {
        std::vector<float> pending; // the unfinished 10 ms window
        double s11 = 0, s12 = 0, s21 = 0, s22 = 0;
        std::vector<float> peakInput; // with its 15 samples of history at the front
        float truePeak = 0;
    };
    void closeWindow(size_t length);
    void truePeakBlocks(Channel& channel, bool last);

    std::vector<Channel> channels_;
    int64_t frames_ = 0;
    std::vector<double> steps_;
    std::vector<double> mixLevels_;
};

} // namespace korvel
