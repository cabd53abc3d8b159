#pragma once

#include "Core/Wire/Contract.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace korvel {

enum class AudioRole { voice, music, soundEffect };

template <> struct EnumNames<AudioRole> {
    static constexpr std::string_view typeName = "AudioRole";
    static constexpr std::array<std::string_view, 3> names{"voice", "music", "sound_effect"};
};

struct PlanGainPoint {
    int64_t outUs = 0;
    double gainDb = 0;

    bool operator==(const PlanGainPoint&) const = default;
    static PlanGainPoint decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct GeneratedAudio {
    std::string recipe;
    int64_t seed = 0;

    bool operator==(const GeneratedAudio&) const = default;
    static GeneratedAudio decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct AudioIsolation {
    double wet = 0;

    bool operator==(const AudioIsolation&) const = default;
    static AudioIsolation decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// A stretch of sound on the output timeline, from a source asset or from
// the synthesis; `generated` wins when both are set.
struct AudioTrack {
    std::string id;
    AudioRole role = AudioRole::voice;
    Nullable<std::string> assetId;
    Nullable<GeneratedAudio> generated;
    int64_t srcStartUs = 0;
    int64_t srcEndUs = 0;
    int64_t outStartUs = 0;
    int64_t outEndUs = 0;
    double speed = 0;
    std::vector<PlanGainPoint> gain;
    Nullable<AudioIsolation> isolation;

    bool operator==(const AudioTrack&) const = default;
    static AudioTrack decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct AudioMix {
    std::vector<AudioTrack> tracks;
    Nullable<double> targetLufs;
    double truePeakDb = 0;

    bool operator==(const AudioMix&) const = default;
    static AudioMix decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
