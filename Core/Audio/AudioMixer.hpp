#pragma once

#include "Core/Audio/PCMAudio.hpp"
#include "Core/Audio/PCMSource.hpp"
#include "Core/Plan/AudioMix.hpp"

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

namespace korvel {

// Places clips on the output timeline into a main bus (voice, music) and an
// effects bus, then applies the plan's loudness policy to the sum.
namespace AudioMixer {

struct Input {
    AudioRole role = AudioRole::voice;
    PCMAudio audio;
    int64_t outStartFrame = 0;
    std::vector<PlanGainPoint> gain;
    bool fadeEdges = false;
};

class Policy {
public:
    struct Normalize {
        double targetLufs = 0;
        double ceilingDb = 0;
        bool operator==(const Normalize&) const = default;
    };
    struct KeepLevel {
        double ceilingDb = 0;
        bool operator==(const KeepLevel&) const = default;
    };
    struct None {
        bool operator==(const None&) const = default;
    };

    static Policy normalize(double targetLufs, double ceilingDb) { return Policy(Normalize{targetLufs, ceilingDb}); }
    static Policy keepLevel(double ceilingDb) { return Policy(KeepLevel{ceilingDb}); }
    static Policy none() { return Policy(None{}); }

    const Normalize* normalizing() const { return std::get_if<Normalize>(&value_); }
    const KeepLevel* keepingLevel() const { return std::get_if<KeepLevel>(&value_); }
    bool isNone() const { return std::holds_alternative<None>(value_); }

    bool operator==(const Policy&) const = default;

private:
    explicit Policy(std::variant<Normalize, KeepLevel, None> v) : value_(v) {}
    std::variant<Normalize, KeepLevel, None> value_;
};

struct Result {
    PCMAudio buffer;
    double integratedLufs = 0;
    double truePeakDb = 0;
    bool reached = false;
    double effectsLoweredDb = 0;

    bool operator==(const Result&) const = default;
};

class Builder {
public:
    // Fails with invalidParams when the duration is negative or longer than
    // PCMAudio::maximumFrames: it comes from the client's plan.
    explicit Builder(int64_t durationFrames);

    void place(const Input& input);
    Result finish(const Policy& policy, bool measured) &&;

    int64_t durationFrames() const { return durationFrames_; }
    const std::vector<std::vector<float>>& main() const { return main_; }
    const std::optional<std::vector<std::vector<float>>>& effects() const { return effects_; }

private:
    int64_t durationFrames_;
    std::vector<std::vector<float>> main_;
    std::optional<std::vector<std::vector<float>>> effects_;
};

// The same mix with its buses in stores, finished a block at a time, so its
// memory does not grow with the mix's length: the finished sound is a source
// that computes its frames from the buses when read.
class StoredBuilder {
public:
    struct Finished {
        PCMSources::Source buffer;
        double integratedLufs = 0;
        double truePeakDb = 0;
        bool reached = false;
        double effectsLoweredDb = 0;
    };

    StoredBuilder(int64_t durationFrames, PCMStores stores);
    void place(const Input& input);
    // A clip too long to hold: its samples come from `clip`, not input.audio.
    void place(const Input& input, const PCMSource& clip);
    Finished finish(const Policy& policy, bool measured) &&;

private:
    int64_t durationFrames_;
    PCMStores stores_;
    std::shared_ptr<PCMStore> main_;
    std::shared_ptr<PCMStore> effects_;
    bool mainMono_ = true;
    bool effectsMono_ = true;
};

Result mix(const std::vector<Input>& inputs, int64_t durationFrames, const Policy& policy);

// amount × wet + (1 − amount) × dry per sample, over the channels and frames
// both have: the isolated voice is mono, so a blended stereo track turns mono.
PCMAudio blend(const PCMAudio& wet, const PCMAudio& dry, double amount);

} // namespace AudioMixer

} // namespace korvel
