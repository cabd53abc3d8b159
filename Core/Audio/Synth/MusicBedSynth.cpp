#include "Core/Audio/Synth/MusicBedSynth.hpp"

#include "Core/Audio/AudioKernels.hpp"
#include "Core/Audio/LoudnessProfile.hpp"
#include "Core/Audio/PCMAudio.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

namespace korvel::MusicBedSynth {

namespace {

constexpr double rate = 48'000.0;
constexpr double highestHz = 21'600.0;

struct Style {
    double chordSeconds;
    int64_t chordFrames;
    double attack;
    double release;
    int harmonics;
    double rollOff;
    std::optional<double> bpm;
    bool kickAndPlucks;
    bool lowOctave;
};

Style styleOf(std::string_view recipe) {
    if (recipe == "upbeat_bed") return {2.5, 120'000, 0.25, 0.6, 4, 0.5, 96.0, true, false};
    if (recipe == "cinematic_bed") return {6.0, 288'000, 2.0, 2.5, 6, 0.6, std::nullopt, false, true};
    return {4.0, 192'000, 1.2, 1.6, 5, 0.45, std::nullopt, false, false};
}

constexpr int scale[7] = {0, 2, 4, 5, 7, 9, 11};
constexpr int progressions[4][4] = {{0, 4, 5, 3}, {5, 3, 0, 4}, {0, 5, 3, 4}, {3, 0, 4, 5}};
constexpr struct {
    double seconds;
    float gain;
} roomTaps[3] = {{0.023, 0.30f}, {0.041, 0.20f}, {0.067, 0.12f}};

uint64_t magnitude(int64_t seed) {
    return seed < 0 ? ~static_cast<uint64_t>(seed) + 1 : static_cast<uint64_t>(seed);
}

int noteOf(int root, int degree) { return root + scale[degree % 7] + 12 * (degree / 7); }

double hertz(double midi) { return 440.0 * std::pow(2.0, (midi - 69.0) / 12.0); }

int64_t framesOf(double seconds) { return static_cast<int64_t>(std::floor(seconds * rate)); }

// Harmonic weights of a voice, those at or above the top frequency left out.
int harmonicWeights(double hz, int most, const double* amplitude, double* weight) {
    int count = 0;
    for (int h = 1; h <= most && hz * h < highestHz; ++h) weight[count++] = amplitude[h - 1];
    return count;
}

std::vector<float> padEnvelope(int64_t count, int64_t total, const Style& style) {
    std::vector<float> env(static_cast<size_t>(count), 1.0f);
    const int64_t attack = framesOf(style.attack);
    for (int64_t i = 0; i < std::min(count, attack); ++i)
        env[static_cast<size_t>(i)] = static_cast<float>(0.5 - 0.5 * std::cos(M_PI * static_cast<double>(i) / static_cast<double>(attack)));
    const int64_t release = framesOf(style.release);
    const int64_t from = total - release;
    for (int64_t i = std::max<int64_t>(0, from); i < count; ++i)
        env[static_cast<size_t>(i)] =
            static_cast<float>(0.5 + 0.5 * std::cos(M_PI * static_cast<double>(i - from) / static_cast<double>(release)));
    return env;
}

void addChord(int root, int degree, int64_t start, const Style& style, std::vector<float>& left, std::vector<float>& right) {
    const int64_t total = static_cast<int64_t>(left.size());
    std::vector<int> notes = {noteOf(root, degree), noteOf(root, degree + 2), noteOf(root, degree + 4)};
    notes.push_back(notes[0] + 12);
    if (style.lowOctave) notes.push_back(notes[0] - 12);
    const int64_t length = framesOf(style.chordSeconds + style.release);
    const int64_t used = std::min(total - start, length);
    if (used <= 0) return;
    const std::vector<float> env = padEnvelope(used, length, style);
    double amplitude[16];
    for (int h = 0; h < style.harmonics; ++h) amplitude[h] = std::pow(style.rollOff, h);
    for (int note : notes) {
        for (int side = 0; side < 2; ++side) {
            const double hz = hertz(note + (side == 0 ? -0.03 : 0.03));
            double weight[16];
            const int count = harmonicWeights(hz, style.harmonics, amplitude, weight);
            if (count == 0) continue;
            float* out = (side == 0 ? left : right).data() + start;
            AudioKernels::addVoice(out, used, hz, weight, count, env.data(), 0.2f);
        }
    }
}

void addPlucks(int root, int degree, int64_t start, const Style& style, std::vector<float>& left, std::vector<float>& right) {
    const int64_t total = static_cast<int64_t>(left.size());
    const int64_t step = static_cast<int64_t>(std::floor(30.0 / *style.bpm * rate));
    const int pattern[4] = {degree, degree + 2, degree + 4, degree + 2};
    const double amplitude[3] = {1.0, 0.4, 0.16};
    int64_t k = 0;
    for (int64_t g = 0; g < style.chordFrames; g += step, ++k) {
        const int64_t at = start + g;
        if (at >= total) break;
        const int64_t length = std::min<int64_t>(total - at, 21'600);
        std::vector<float> env(static_cast<size_t>(length));
        for (int64_t n = 0; n < length; ++n) {
            const double t = static_cast<double>(n);
            env[static_cast<size_t>(n)] = static_cast<float>(std::exp(-t / rate / 0.12) * std::min(t / 144.0, 1.0));
        }
        const int note = noteOf(root, pattern[k % 4]) + 12;
        for (int side = 0; side < 2; ++side) {
            const double hz = hertz(note + (side == 0 ? -0.02 : 0.02));
            double weight[3];
            const int count = harmonicWeights(hz, 3, amplitude, weight);
            if (count == 0) continue;
            float* out = (side == 0 ? left : right).data() + at;
            AudioKernels::addVoice(out, length, hz, weight, count, env.data(), 0.12f);
        }
    }
}

void addKick(double bpm, std::vector<float>& left, std::vector<float>& right) {
    constexpr int64_t length = 7'680;
    std::vector<float> kick(length);
    double phase = 0;
    for (int64_t i = 0; i < length; ++i) {
        const double t = static_cast<double>(i) / rate;
        phase += (70.0 * std::exp(-t / 0.02) + 48.0) * 2.0 * M_PI / rate;
        kick[static_cast<size_t>(i)] =
            static_cast<float>(std::min(t / 0.001, 1.0) * std::exp(-t / 0.05) * std::sin(phase) * 0.5);
    }
    const int64_t total = static_cast<int64_t>(left.size());
    const int64_t period = static_cast<int64_t>(std::floor(60.0 / bpm * rate));
    for (int64_t at = 0; at < total; at += period) {
        const int64_t n = std::min(length, total - at);
        for (int64_t i = 0; i < n; ++i) {
            left[static_cast<size_t>(at + i)] += kick[static_cast<size_t>(i)];
            right[static_cast<size_t>(at + i)] += kick[static_cast<size_t>(i)];
        }
    }
}

// Each side hears the other's echo; the right one 7 frames later.
void addRoom(std::vector<float>& left, std::vector<float>& right) {
    const std::vector<float> dryLeft = left, dryRight = right;
    const size_t total = left.size();
    for (const auto& tap : roomTaps) {
        const size_t d = static_cast<size_t>(framesOf(tap.seconds));
        for (size_t j = 0; d + j < total; ++j) left[d + j] += dryRight[j] * tap.gain;
        for (size_t j = 0; d + 7 + j < total; ++j) right[d + 7 + j] += dryLeft[j] * tap.gain;
    }
}

// Scaled so that frames [from, to) measure `lufs`; silence stays as it is.
PCMAudio leveled(PCMAudio audio, int64_t from, int64_t to, double lufs) {
    double loudness = 0;
    if (from == 0 && to == audio.frameCount()) {
        loudness = Loudness::integrated(audio);
    } else {
        PCMAudio measured;
        for (const auto& channel : audio.channels)
            measured.channels.emplace_back(channel.begin() + from, channel.begin() + to);
        loudness = Loudness::integrated(measured);
    }
    if (loudness > Loudness::silenceLufs) return audio.scaled(lufs - loudness);
    return audio;
}

} // namespace

int64_t framesWritten(std::string_view recipe, int64_t, int64_t frames) {
    return std::min(12 * styleOf(recipe).chordFrames, frames);
}

std::vector<std::vector<float>> writtenOut(std::string_view recipe, int64_t seed, int64_t frames) {
    const int64_t n = std::max<int64_t>(0, frames);
    std::vector<float> left(static_cast<size_t>(n), 0.0f), right(static_cast<size_t>(n), 0.0f);
    const Style style = styleOf(recipe);
    const uint64_t m = magnitude(seed);
    const int root = 48 + static_cast<int>(m % 8);
    const int* progression = progressions[m % 4];
    for (int64_t i = 0;; ++i) {
        const int64_t start = i * style.chordFrames;
        if (start >= n) break;
        const int degree = progression[i % 4];
        addChord(root, degree, start, style, left, right);
        if (style.kickAndPlucks) addPlucks(root, degree, start, style, left, right);
    }
    if (style.kickAndPlucks) addKick(*style.bpm, left, right);
    addRoom(left, right);
    return {std::move(left), std::move(right)};
}

Looped looped(std::string_view recipe, int64_t seed, int64_t frames, double lufs) {
    Looped out;
    if (frames < 1) {
        out.body = {{}, {}};
        return out;
    }
    out.frames = frames;
    const int64_t written = framesWritten(recipe, seed, frames);
    if (written >= frames) {
        PCMAudio audio(writtenOut(recipe, seed, frames));
        out.body = leveled(std::move(audio), 0, frames, lufs).channels;
        return out;
    }
    // Twelve chords: the first two thirds play once, the middle third loops.
    out.third = written / 3;
    out.body = leveled(PCMAudio(writtenOut(recipe, seed, written)), out.third, written, lufs).channels;
    return out;
}

std::vector<std::vector<float>> bed(std::string_view recipe, int64_t seed, int64_t frames, double lufs) {
    Looped chords = looped(recipe, seed, frames, lufs);
    if (chords.third == 0) return std::move(chords.body);
    const int64_t third = chords.third;
    std::vector<std::vector<float>> out;
    for (const auto& channel : chords.body) {
        std::vector<float> whole(static_cast<size_t>(frames));
        std::copy(channel.begin(), channel.begin() + 2 * third, whole.begin());
        for (int64_t at = 2 * third; at < frames; at += third) {
            const int64_t n = std::min(third, frames - at);
            std::copy(channel.begin() + third, channel.begin() + third + n, whole.begin() + at);
        }
        out.push_back(std::move(whole));
    }
    return out;
}

} // namespace korvel::MusicBedSynth
