#pragma once

#include <memory>

namespace korvel {

// One RNNoise denoiser state: 480-frame frames of 48 kHz mono on the int16
// scale. It removes noise, not music. Each object owns its own translated
// module instance, so objects may run on different threads.
class RNNoise {
public:
    static constexpr int frameSize = 480;

    // Throws EngineFailure -32603 when the state can't be made.
    RNNoise();
    ~RNNoise();
    RNNoise(const RNNoise&) = delete;
    RNNoise& operator=(const RNNoise&) = delete;

    // Denoises one frame; returns the voice probability.
    float process(const float* in, float* out);

private:
    struct Instance;
    std::unique_ptr<Instance> instance_;
};

} // namespace korvel
