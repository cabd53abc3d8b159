#include "Adapters/Audio/SoundIsolationAdapter.hpp"

#include "Adapters/Audio/RNNoise.hpp"
#include "Core/Audio/CalibrationVoice.hpp"
#include "Core/Audio/DelayEstimator.hpp"
#include "Core/Audio/PCMAudio.hpp"

#include <algorithm>

namespace korvel {

namespace {

// RNNoise frames of 480 on the int16 scale, eight to a render call.
class RNNoiseUnit : public IsolationUnit {
public:
    int render(std::span<const float> input, std::span<float> output, int64_t& rendered) override {
        const size_t n = std::min(input.size(), output.size());
        float in[RNNoise::frameSize], out[RNNoise::frameSize];
        for (size_t at = 0; at < n; at += RNNoise::frameSize) {
            const size_t m = std::min<size_t>(RNNoise::frameSize, n - at);
            for (size_t i = 0; i < RNNoise::frameSize; ++i) in[i] = i < m ? input[at + i] * 32768.0f : 0.0f;
            denoiser_.process(in, out);
            for (size_t i = 0; i < m; ++i) output[at + i] = out[i] * (1.0f / 32768.0f);
        }
        rendered = static_cast<int64_t>(n);
        return static_cast<int>(Status::success);
    }

private:
    RNNoise denoiser_;
};

// Whole RNNoise frames per render call, within the unit's limit.
constexpr int64_t renderFrames = SoundIsolationAdapter::maximumRenderFrames / RNNoise::frameSize * RNNoise::frameSize;

} // namespace

std::shared_ptr<IsolationCalibration> IsolationCalibration::shared() {
    static auto instance = std::make_shared<IsolationCalibration>();
    return instance;
}

int64_t IsolationCalibration::delay(const std::string& mode, const std::function<int64_t()>& measure) {
    std::lock_guard g(lock_);
    if (auto it = delays_.find(mode); it != delays_.end()) return it->second;
    const int64_t d = measure();
    delays_[mode] = d;
    return d;
}

SoundIsolationAdapter::SoundIsolationAdapter(Mode mode, std::shared_ptr<IsolationCalibration> calibration,
                                             UnitFactory units)
    : mode_(mode), calibration_(std::move(calibration)), units_(std::move(units)) {
    if (!units_) units_ = [] { return std::make_unique<RNNoiseUnit>(); };
}

std::string_view SoundIsolationAdapter::name(Mode mode) {
    return mode == Mode::voice ? "voice" : "highQualityVoice";
}

std::vector<float> SoundIsolationAdapter::render(const std::vector<float>& samples, const JobContext& job) const {
    const auto n = static_cast<int64_t>(samples.size());
    const int64_t total = n + tailFrames;
    std::vector<float> input(static_cast<size_t>(total), 0.0f);
    std::copy(samples.begin(), samples.end(), input.begin());
    std::vector<float> result(static_cast<size_t>(total), 0.0f);
    auto unit = units_();
    if (!unit) throw EngineFailure::internalError("Could not allocate the isolation output.");
    int64_t position = 0;
    int retries = 0;
    while (position < total) {
        Task::checkCancellation();
        const int64_t count = std::min(renderFrames, total - position);
        int64_t rendered = 0;
        const int status = unit->render(std::span<const float>(input.data() + position, static_cast<size_t>(count)),
                                        std::span<float>(result.data() + position, static_cast<size_t>(count)), rendered);
        if (status == 1 || status == 2) {
            if (++retries > maximumRetries) throw EngineFailure::internalError("AUSoundIsolation failed while rendering.");
            continue;
        }
        if (status == -1) throw EngineFailure::internalError("AUSoundIsolation failed while rendering.");
        if (status != 0) throw EngineFailure::internalError("AUSoundIsolation returned an unknown status.");
        retries = 0;
        position += std::clamp<int64_t>(rendered, 0, count);
        const int64_t done = std::min(n, position);
        job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds, PCMAudio::microseconds(done),
                    PCMAudio::microseconds(n)});
    }
    return result;
}

int64_t SoundIsolationAdapter::calibrate() const {
    const auto voice = CalibrationVoice::samples();
    const auto rendered = render(voice, JobContext::silent());
    const auto estimate = DelayEstimator::estimate(voice, rendered, maximumLagFrames);
    if (estimate.score < minimumScore) {
        throw EngineFailure::internalError("Could not calibrate the delay of voice isolation.");
    }
    return estimate.lagFrames;
}

IsolatedVoice SoundIsolationAdapter::isolate(const std::vector<float>& samples, double wet, const JobContext& job) {
    if (samples.empty()) return {};
    const auto rendered = render(samples, job);
    const auto estimate = DelayEstimator::estimate(samples, rendered, maximumLagFrames);
    int64_t delay = estimate.lagFrames;
    if (estimate.score < minimumScore) {
        delay = calibration_->delay(std::string(name(mode_)), [this] { return calibrate(); });
    }
    Task::checkCancellation();
    delay = std::clamp<int64_t>(delay, 0, tailFrames);
    const size_t n = samples.size();
    std::vector<float> out(rendered.begin() + delay, rendered.begin() + delay + static_cast<int64_t>(n));
    if (wet < 1) {
        const float w = static_cast<float>(std::max(0.0, wet));
        for (size_t i = 0; i < n; ++i) out[i] = out[i] * w + samples[i] * (1.0f - w);
    }
    return {std::move(out), delay};
}

} // namespace korvel
