// Voice isolation over RNNoise: espeak-ng speech in pink noise, and the unit
// contract (length, delay, calibration, bounded retries) on fake units.

#include "Adapters/Audio/AudioDecoder.hpp"
#include "Adapters/Audio/SoundIsolationAdapter.hpp"
#include "Core/Audio/DelayEstimator.hpp"
#include "tests/support/Shell.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <unistd.h>

using namespace korvel;
namespace fs = std::filesystem;

namespace {

fs::path folder() {
    fs::path f = fs::path(KORVEL_TEST_TMP) / ("isolation-" + std::to_string(::getpid()));
    fs::create_directories(f);
    return f;
}

struct Fixture {
    std::vector<float> speech, noisy;
    Fixture() {
        const fs::path wav = folder() / "speech.wav", noise = folder() / "pink.wav";
        EXPECT_TRUE(korvel::testing::runCommand(
            "espeak-ng -g 12 -w '" + wav.string() + "' 'Noise goes away. The voice stays. Pauses turn quiet.'"));
        EXPECT_TRUE(korvel::testing::runCommand("ffmpeg -nostdin -v error -y -f lavfi -i anoisesrc=color=pink:seed=5:"
                                                "sample_rate=48000:amplitude=0.5 -t 8 '" + noise.string() + "'"));
        speech = AudioDecoder::read(wav, 1, JobContext::silent()).channels[0];
        auto pink = AudioDecoder::read(noise, 1, JobContext::silent()).channels[0];
        double s = 0, n = 0;
        for (size_t i = 0; i < speech.size(); ++i) {
            s += double(speech[i]) * speech[i];
            n += double(pink[i]) * pink[i];
        }
        // 0 dB signal-to-noise ratio over the whole clip.
        const float scale = static_cast<float>(std::sqrt(s / n));
        noisy.resize(speech.size());
        for (size_t i = 0; i < speech.size(); ++i) noisy[i] = speech[i] + pink[i] * scale;
    }
};

const Fixture& fixture() {
    static Fixture f;
    return f;
}

double rmsDb(const std::vector<float>& x, size_t from, size_t count) {
    double sum = 0;
    for (size_t i = from; i < from + count; ++i) sum += double(x[i]) * x[i];
    return 10 * std::log10(sum / count + 1e-20);
}

// A unit that delays by a fixed count, or one that never renders.
class FakeUnit : public IsolationUnit {
public:
    FakeUnit(int64_t delay, int status) : delay_(delay), status_(status) {}
    int render(std::span<const float> input, std::span<float> output, int64_t& rendered) override {
        if (status_ != 0) return status_;
        for (size_t i = 0; i < output.size(); ++i) {
            history_.push_back(input[i]);
            output[i] = history_.size() > static_cast<size_t>(delay_) ? history_[history_.size() - 1 - delay_] : 0;
        }
        rendered = static_cast<int64_t>(output.size());
        ++calls;
        return 0;
    }
    static inline int calls = 0;

private:
    int64_t delay_;
    int status_;
    std::vector<float> history_;
};

SoundIsolationAdapter fake(int64_t delay, int status, std::shared_ptr<IsolationCalibration> calibration) {
    return SoundIsolationAdapter(SoundIsolationAdapter::Mode::voice, std::move(calibration),
                                 [=] { return std::make_unique<FakeUnit>(delay, status); });
}

} // namespace

TEST(SoundIsolation, SpeechInPinkNoiseComesOutAlignedWithQuietPauses) {
    const auto& f = fixture();
    SoundIsolationAdapter adapter(SoundIsolationAdapter::Mode::voice, std::make_shared<IsolationCalibration>());
    const IsolatedVoice voice = adapter.isolate(f.noisy, 1.0, JobContext::silent());
    ASSERT_EQ(voice.samples.size(), f.noisy.size());
    const auto lag = DelayEstimator::estimate(f.speech, voice.samples, 2000);
    EXPECT_LE(std::llabs(lag.lagFrames), 1) << lag.lagFrames;

    // 20 ms windows where the clean speech is silent or clearly speaking.
    constexpr size_t w = 960;
    double pauseIn = 0, pauseOut = 0, speechIn = 0, speechOut = 0;
    int pauses = 0, spoken = 0;
    for (size_t at = 0; at + w <= f.speech.size(); at += w) {
        const double clean = rmsDb(f.speech, at, w);
        if (clean < -60) {
            pauseIn += std::pow(10, rmsDb(f.noisy, at, w) / 10);
            pauseOut += std::pow(10, rmsDb(voice.samples, at, w) / 10);
            ++pauses;
        } else if (clean > -30) {
            speechIn += std::pow(10, clean / 10);
            speechOut += std::pow(10, rmsDb(voice.samples, at, w) / 10);
            ++spoken;
        }
    }
    ASSERT_GT(pauses, 5);
    ASSERT_GT(spoken, 20);
    EXPECT_LE(10 * std::log10(pauseOut / pauseIn), -12);
    EXPECT_NEAR(10 * std::log10(speechOut / speechIn), 0, 3);
}

TEST(SoundIsolation, OutputKeepsTheInputLengthAndRemovesTheMeasuredDelay) {
    const auto& f = fixture();
    auto adapter = fake(700, 0, std::make_shared<IsolationCalibration>());
    const auto voice = adapter.isolate(f.speech, 1.0, JobContext::silent());
    EXPECT_EQ(voice.delayFrames, 700);
    ASSERT_EQ(voice.samples.size(), f.speech.size());
    for (size_t i = 0; i + 700 < f.speech.size(); i += 997) EXPECT_EQ(voice.samples[i], f.speech[i]);
    EXPECT_EQ(adapter.isolate({}, 1.0, JobContext::silent()), IsolatedVoice{});
}

TEST(SoundIsolation, WetBlendsTheUnitOutputWithTheInput) {
    auto adapter = fake(0, 0, std::make_shared<IsolationCalibration>());
    const std::vector<float> input(48000, 0.5f);
    // A unit that passes the input through makes every blend the input itself.
    for (double wet : {-1.0, 0.0, 0.25, 1.0, 2.0}) {
        const auto v = adapter.isolate(input, wet, JobContext::silent());
        ASSERT_EQ(v.samples.size(), input.size());
        EXPECT_FLOAT_EQ(v.samples[100], 0.5f) << wet;
    }
}

TEST(SoundIsolation, SilenceUsesTheCalibratedDelayMeasuredOnce) {
    auto calibration = std::make_shared<IsolationCalibration>();
    auto adapter = fake(480, 0, calibration);
    FakeUnit::calls = 0;
    const std::vector<float> silence(48000, 0.0f);
    EXPECT_EQ(adapter.isolate(silence, 1.0, JobContext::silent()).delayFrames, 480);
    const int afterFirst = FakeUnit::calls;
    EXPECT_EQ(adapter.isolate(silence, 1.0, JobContext::silent()).delayFrames, 480);
    // The second call renders its input only; no second calibration.
    EXPECT_LT(FakeUnit::calls - afterFirst, afterFirst);
}

TEST(SoundIsolation, UnitFailuresAnswerTheirSentences) {
    struct Case {
        int status;
        std::string message;
    } cases[] = {{1, "AUSoundIsolation failed while rendering."},
                 {2, "AUSoundIsolation failed while rendering."},
                 {-1, "AUSoundIsolation failed while rendering."},
                 {7, "AUSoundIsolation returned an unknown status."}};
    for (const auto& c : cases) {
        auto adapter = fake(0, c.status, std::make_shared<IsolationCalibration>());
        try {
            adapter.isolate(std::vector<float>(1000, 0.1f), 1.0, JobContext::silent());
            ADD_FAILURE() << c.status;
        } catch (const EngineFailure& e) {
            EXPECT_EQ(e.code, -32603);
            EXPECT_EQ(e.message, c.message);
        }
    }
    // A unit that gives back silence can't be calibrated, and nothing is stored.
    class Mute : public IsolationUnit {
        int render(std::span<const float>, std::span<float> out, int64_t& rendered) override {
            std::fill(out.begin(), out.end(), 0.0f);
            rendered = static_cast<int64_t>(out.size());
            return 0;
        }
    };
    auto calibration = std::make_shared<IsolationCalibration>();
    SoundIsolationAdapter mute(SoundIsolationAdapter::Mode::voice, calibration, [] { return std::make_unique<Mute>(); });
    for (int i = 0; i < 2; ++i) {
        try {
            mute.isolate(std::vector<float>(1000, 0.0f), 1.0, JobContext::silent());
            ADD_FAILURE();
        } catch (const EngineFailure& e) {
            EXPECT_EQ(e.message, "Could not calibrate the delay of voice isolation.");
        }
    }
}
