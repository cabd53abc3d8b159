#pragma once

#include "Core/Wire/WireNumber.hpp"

#include <cstdint>
#include <string>

namespace korvel {

// The answer of audio.mix; loudness and peak are rounded to two decimals.
struct AudioMixResultModel {
    std::string path;
    int64_t byteLength = 0;
    int64_t durationUs = 0;
    double integratedLufs = 0;
    double truePeakDb = 0;
    bool reachedTarget = false;

    AudioMixResultModel() = default;
    AudioMixResultModel(std::string path, int64_t byteLength, int64_t durationUs, double integratedLufs,
                        double truePeakDb, bool reachedTarget);

    bool operator==(const AudioMixResultModel&) const = default;
    static AudioMixResultModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
