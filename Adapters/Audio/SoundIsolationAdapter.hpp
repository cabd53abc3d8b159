#pragma once

#include "Core/Audio/VoiceIsolating.hpp"
#include "Core/Jobs.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace korvel {

// The unit delay measured once per mode on the calibration voice, for
// inputs whose own delay can't be measured (silence, noise, no speech).
class IsolationCalibration {
public:
    static std::shared_ptr<IsolationCalibration> shared();
    // The stored delay of the mode, or the one `measure` gives, stored. A
    // failed measurement stores nothing.
    int64_t delay(const std::string& mode, const std::function<int64_t()>& measure);

private:
    std::mutex lock_;
    std::map<std::string, int64_t> delays_;
};

// What runs the sound through the suppressor, a chunk at a time.
class IsolationUnit {
public:
    enum class Status { success = 0, tooLittleInput = 1, notNow = 2, error = -1 };
    virtual ~IsolationUnit() = default;
    // Renders `output.size()` frames from as many input frames; `rendered`
    // says how many came out.
    virtual int render(std::span<const float> input, std::span<float> output, int64_t& rendered) = 0;
};

// The voice isolator: RNNoise over mono 48 kHz sound, its latency measured
// on the input by delay estimation and removed, so the voice lines up with
// the input frame for frame. It removes noise, not music.
class SoundIsolationAdapter : public VoiceIsolating {
public:
    enum class Mode { voice, highQualityVoice };
    using UnitFactory = std::function<std::unique_ptr<IsolationUnit>()>;

    static constexpr int64_t tailFrames = 9600;
    static constexpr int64_t maximumRenderFrames = 4096;
    static constexpr int64_t maximumLagFrames = 9600;
    static constexpr double minimumScore = 0.2;
    // A unit that keeps saying it can't render gives up after this many tries.
    static constexpr int maximumRetries = 100;

    SoundIsolationAdapter(Mode mode, std::shared_ptr<IsolationCalibration> calibration, UnitFactory units = {});

    IsolatedVoice isolate(const std::vector<float>& samples, double wet, const JobContext& job) override;

    // The raw unit output: n + tailFrames frames.
    std::vector<float> render(const std::vector<float>& samples, const JobContext& job) const;
    int64_t calibrate() const;
    static std::string_view name(Mode mode);

private:
    Mode mode_;
    std::shared_ptr<IsolationCalibration> calibration_;
    UnitFactory units_;
};

} // namespace korvel
