#pragma once

#include "Core/Speech/CTCVocabulary.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace korvel {

// Per-frame log-probabilities of a CTC model, row-major: token id at frame f
// is values[f × vocabulary + id]. One frame is 20 ms of 16 kHz sound.
struct CTCEmissions {
    static constexpr int64_t stepUs = 20'000;
    static constexpr int64_t samplesPerFrame = 320;

    std::vector<float> values;
    int64_t frames = 0;
    int64_t vocabulary = 0;

    bool operator==(const CTCEmissions&) const = default;
};

// A CTC letter model. Calls block the job's thread and may throw.
class EmissionModel {
public:
    virtual ~EmissionModel() = default;
    virtual const CTCVocabulary& vocabulary() const = 0;
    virtual CTCEmissions logProbabilities(std::span<const float> samples16k, int64_t startUs) = 0;
};

} // namespace korvel
