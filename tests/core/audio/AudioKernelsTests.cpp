// The sound kernels against their scalar references, on each instruction set
// compiled in that this processor runs (the baseline too): the very same
// numbers, bit for bit, for lengths that leave every kind of tail.
#include "Core/Audio/AudioKernels.hpp"

#include <gtest/gtest.h>
#include <hwy/tests/hwy_gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace korvel;

namespace {

constexpr float notANumber = std::numeric_limits<float>::quiet_NaN();
constexpr float infinity = std::numeric_limits<float>::infinity();

// Sound in [-1, 1] with, unless `plain`, denormals, signed zeros, huge
// values and a few infinities and NaN among it.
std::vector<float> sound(size_t count, unsigned seed, bool plain = false) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> usual(-1.0f, 1.0f);
    std::uniform_int_distribution<int> pick(0, 99);
    std::vector<float> v(count);
    for (float& x : v) {
        const int p = plain ? 99 : pick(rng);
        x = p < 4    ? 1e-40f * usual(rng)
            : p < 6  ? -0.0f
            : p < 8  ? 3e30f * usual(rng)
            : p < 9  ? (pick(rng) < 50 ? infinity : -infinity)
            : p < 10 ? notANumber
                     : usual(rng);
    }
    return v;
}

// Equal bits, but any NaN equals any other: which NaN an operation gives
// back is not a number the kernels promise.
template <class T>
bool same(T a, T b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

template <class T>
void expectSame(const std::vector<T>& got, const std::vector<T>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size());
    int reported = 0;
    for (size_t i = 0; i < got.size() && reported < 5; ++i) {
        if (same(got[i], want[i])) continue;
        ADD_FAILURE() << what << ", value " << i << ": " << got[i] << " where the reference gives " << want[i];
        ++reported;
    }
}

// Lengths around one vector of four doubles and eight floats, and a long one.
constexpr size_t lengths[] = {0, 1, 7, 8, 9, 1003};

class AudioKernelTargets : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(AudioKernelTargets);

} // namespace

TEST_P(AudioKernelTargets, BiquadPowerIsTheReference) {
    const double sections[10] = {1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241,
                                 0.73248077421585, 1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621};
    for (size_t count : lengths) {
        const int n = static_cast<int>(count);
        for (bool plain : {true, false}) {
            std::vector<std::vector<float>> lanes;
            for (unsigned l = 0; l < 4; ++l) lanes.push_back(sound(count, 31u * l + static_cast<unsigned>(count), plain));
            const float* input[4] = {lanes[0].data(), lanes[1].data(), lanes[2].data(), lanes[3].data()};
            // Every frame kept, and lanes that keep none, some or all of theirs.
            const int validity[2][4] = {{n, n, n, n}, {0, n / 2, n, 1}};
            for (const auto& valid : validity) {
                std::vector<double> state(16), stateWant(16), power(4), powerWant(4);
                // Twice: the state carries from one call to the next.
                for (int call = 0; call < 2; ++call) {
                    AudioKernels::biquadPower(input, n, valid, sections, state.data(), power.data());
                    AudioKernels::biquadPowerReference(input, n, valid, sections, stateWant.data(), powerWant.data());
                    const std::string what = std::to_string(count) + " frames" + (plain ? "" : ", odd values") +
                                             ", valid from " + std::to_string(valid[0]) + ", call " +
                                             std::to_string(call);
                    expectSame(power, powerWant, what + ", power");
                    expectSame(state, stateWant, what + ", state");
                }
            }
        }
    }
}

TEST_P(AudioKernelTargets, CorrelationIsTheReference) {
    for (size_t count : lengths) {
        for (int terms : {1, 7, 480}) {
            for (bool plain : {true, false}) {
                const auto sequence = sound(count + static_cast<size_t>(terms), 7u + static_cast<unsigned>(count), plain);
                const auto reference = sound(static_cast<size_t>(terms), 11u + static_cast<unsigned>(terms), plain);
                std::vector<float> got(count), want(count);
                AudioKernels::correlate(sequence.data(), reference.data(), terms, got.data(), static_cast<int>(count));
                AudioKernels::correlateReference(sequence.data(), reference.data(), terms, want.data(),
                                                 static_cast<int>(count));
                expectSame(got, want,
                           std::to_string(count) + " scores of " + std::to_string(terms) + (plain ? "" : ", odd values"));
            }
        }
    }
}

// Interpolating taps that sum to about 1, as the true peak's phases do.
void phaseTaps(AudioKernels::PhaseTaps& taps) {
    for (int f = 0; f < 3; ++f)
        for (int k = 0; k < 32; ++k) {
            const double a = k - 15 - 0.25 * (f + 1);
            taps[f][k] = static_cast<float>(std::sin(M_PI * a) / (M_PI * a) * std::cos(M_PI * a / 34.0));
        }
}

TEST_P(AudioKernelTargets, EnvelopeAndItsPeakAreTheReferences) {
    AudioKernels::PhaseTaps taps;
    phaseTaps(taps);
    // Whole runs of sixteen outputs only; the caller pads the rest.
    for (size_t count : {size_t{0}, size_t{16}, size_t{32}, size_t{1008}}) {
        for (bool plain : {true, false}) {
            const auto padded = sound(count + 31, 13u + static_cast<unsigned>(count), plain);
            const std::string what = std::to_string(count) + " outputs" + (plain ? "" : ", odd values");
            for (bool raised : {false, true}) {
                std::vector<float> got = sound(count, 17u, plain), want = got;
                AudioKernels::envelope(padded.data(), count, taps, got.data(), raised);
                AudioKernels::envelopeReference(padded.data(), count, taps, want.data(), raised);
                expectSame(got, want, what + (raised ? ", raised" : ", stored"));
            }
            EXPECT_TRUE(same(AudioKernels::envelopePeak(padded.data(), count, taps),
                             AudioKernels::envelopePeakReference(padded.data(), count, taps)))
                << what << ", peak";
        }
    }
}

TEST_P(AudioKernelTargets, LargestMagnitudeIsTheReference) {
    for (size_t count : lengths) {
        for (bool plain : {true, false}) {
            const auto x = sound(count, 19u + static_cast<unsigned>(count), plain);
            EXPECT_TRUE(same(AudioKernels::largestMagnitude(x.data(), count),
                             AudioKernels::largestMagnitudeReference(x.data(), count)))
                << count << " samples" << (plain ? "" : ", odd values");
        }
    }
    // A NaN drops what its lane held before it: the lanes are those of the
    // reference, whatever the target's width.
    std::vector<float> x(32, 0.1f);
    x[3] = 0.9f, x[7] = 0.8f, x[11] = notANumber;
    EXPECT_EQ(AudioKernels::largestMagnitude(x.data(), x.size()), 0.8f);
    EXPECT_EQ(AudioKernels::largestMagnitudeReference(x.data(), x.size()), 0.8f);
}

TEST_P(AudioKernelTargets, VoicesAreTheReference) {
    const double weight[6] = {1.0, 0.5, 0.25, 0.125, 0.0625, 0.03125};
    // Past one anchor of 256 frames too, with a tail.
    for (size_t count : {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{1003}, size_t{773}}) {
        for (double hz : {27.5, 440.0, 7'902.13}) {
            for (int harmonics : {1, 2, 6}) {
                for (bool plain : {true, false}) {
                    const auto envelope = sound(count, 23u + static_cast<unsigned>(count), plain);
                    std::vector<float> got = sound(count, 29u, true), want = got;
                    AudioKernels::addVoice(got.data(), static_cast<int64_t>(count), hz, weight, harmonics,
                                           envelope.data(), 0.2f);
                    AudioKernels::addVoiceReference(want.data(), static_cast<int64_t>(count), hz, weight, harmonics,
                                                    envelope.data(), 0.2f);
                    expectSame(got, want,
                               std::to_string(count) + " frames at " + std::to_string(hz) + " Hz, " +
                                   std::to_string(harmonics) + " harmonics" + (plain ? "" : ", odd values"));
                }
            }
        }
    }
}
