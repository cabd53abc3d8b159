#pragma once

#include "Core/Jobs.hpp"

#include <cstdint>
#include <vector>

namespace korvel {

struct IsolatedVoice {
    // Mono 48 kHz isolated voice.
    std::vector<float> samples;
    // The isolation unit's latency, as its calibration measured it.
    int64_t delayFrames = 0;

    bool operator==(const IsolatedVoice&) const = default;
};

// Removes everything but speech from mono 48 kHz audio; `wet` is the share of
// isolated voice in the output. Blocking; checks the job's cancellation.
class VoiceIsolating {
public:
    virtual ~VoiceIsolating() = default;
    virtual IsolatedVoice isolate(const std::vector<float>& samples, double wet, const JobContext& job) = 0;
};

} // namespace korvel
