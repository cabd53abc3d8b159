#include "Core/Audio/AudioMixer.hpp"

#include "Core/Audio/Decibels.hpp"
#include "Core/Audio/GainCurve.hpp"
#include "Core/Audio/LoudnessNormalizer.hpp"
#include "Core/Audio/LoudnessProfile.hpp"
#include "Core/Audio/TruePeak.hpp"
#include "Core/Audio/TruePeakLimiter.hpp"
#include "Core/Jobs.hpp"

#include <algorithm>
#include <cmath>

namespace korvel::AudioMixer {

namespace {

using Channels = std::vector<std::vector<float>>;

// Gain arrays stay small whatever the clip's length.
constexpr int64_t chunkFrames = 1 << 18;
constexpr double tolerance = TruePeakLimiter::ceilingToleranceDb;

// Buses in memory: the clip is added in place.
struct MemoryBus {
    Channels& channels;
    size_t size() const { return channels.size(); }
    void widen() { channels.push_back(channels[0]); }
    void add(size_t c, int64_t at, const float* src, const float* gains, int64_t count) {
        float* bus = channels[c].data() + at;
        for (int64_t i = 0; i < count; ++i) bus[i] += src[i] * gains[i];
    }
};

// Buses in a two-channel store, of which only the first is used while the
// bus is mono: each chunk is read, added to and written back.
struct StoredBus {
    PCMStore& store;
    bool& mono;
    std::vector<float> chunk;
    size_t size() const { return mono ? 1 : 2; }
    void widen() {
        const int64_t n = store.frameCount();
        for (int64_t at = 0; at < n; at += PCMSources::blockFrames) {
            const int64_t m = std::min(PCMSources::blockFrames, n - at);
            chunk.resize(static_cast<size_t>(m));
            store.read(0, at, m, chunk.data());
            store.write(1, at, m, chunk.data());
        }
        mono = false;
    }
    void add(size_t c, int64_t at, const float* src, const float* gains, int64_t count) {
        chunk.resize(static_cast<size_t>(count));
        float* bus = chunk.data();
        store.read(static_cast<int>(c), at, count, bus);
        for (int64_t i = 0; i < count; ++i) bus[i] += src[i] * gains[i];
        store.write(static_cast<int>(c), at, count, bus);
    }
};

// A clip's samples in memory.
struct MemoryClip {
    const PCMAudio& audio;
    bool empty() const { return audio.channels.empty() || audio.channels[0].empty(); }
    int64_t frames() const { return audio.frameCount(); }
    int64_t channelCount() const { return audio.channelCount(); }
    int64_t length(int c) const { return static_cast<int64_t>(audio.channels[static_cast<size_t>(c)].size()); }
    const float* at(int c, int64_t o, int64_t) { return audio.channels[static_cast<size_t>(c)].data() + o; }
};

// A clip read a chunk at a time.
struct SourceClip {
    const PCMSource& source;
    std::vector<float> chunk[2];
    bool empty() const { return source.channelCount() == 0 || source.frameCount() == 0; }
    int64_t frames() const { return source.frameCount(); }
    int64_t channelCount() const { return source.channelCount(); }
    int64_t length(int) const { return source.frameCount(); }
    const float* at(int c, int64_t o, int64_t m) {
        auto& into = chunk[c];
        into.resize(static_cast<size_t>(m));
        source.read(c, o, m, into.data());
        return into.data();
    }
};

template <class Bus, class Clip> void addTo(Bus&& bus, const Input& input, Clip clip, int64_t durationFrames) {
    const int64_t start = input.outStartFrame;
    if (start >= durationFrames || start < 0 || clip.empty()) return;
    const int64_t clipFrames = clip.frames();
    const int64_t n = std::min(durationFrames - start, clipFrames);

    const GainCurve curve(input.gain);
    const double startPosition = PCMAudio::framePosition(PCMAudio::microseconds(start));

    const bool stereoClip = clip.channelCount() >= 2;
    if (stereoClip && bus.size() == 1) bus.widen();
    const int second = stereoClip ? 1 : 0;
    const int64_t secondLength = clip.length(second);

    // Raised-cosine edges of up to 5 ms; a clip cut by the end of the mix keeps its tail.
    const int64_t fade = input.fadeEdges && n >= 2 ? std::min<int64_t>(n, 480) / 2 : 0;
    const bool fadeOut = fade > 0 && n == clipFrames;
    std::vector<float> edge(static_cast<size_t>(fade));
    for (int64_t i = 0; i < fade; ++i)
        edge[static_cast<size_t>(i)] =
            static_cast<float>(0.5 - 0.5 * std::cos(M_PI * static_cast<double>(i) / static_cast<double>(fade)));

    for (int64_t o = 0; o < n; o += chunkFrames) {
        const int64_t m = std::min(chunkFrames, n - o);
        std::vector<float> gains = curve.linearGains(m, startPosition + static_cast<double>(o));
        for (int64_t i = o; i < std::min(o + m, fade); ++i) gains[static_cast<size_t>(i - o)] *= edge[static_cast<size_t>(i)];
        if (fadeOut) {
            for (int64_t i = 0; i < fade; ++i) {
                const int64_t frame = n - 1 - i;
                if (frame >= o && frame < o + m) gains[static_cast<size_t>(frame - o)] *= edge[static_cast<size_t>(i)];
            }
        }
        bus.add(0, start + o, clip.at(0, o, m), gains.data(), m);
        if (bus.size() == 2) {
            // A second channel shorter than the first adds only what it has.
            const int64_t have = std::clamp<int64_t>(secondLength - o, 0, m);
            if (have > 0) bus.add(1, start + o, clip.at(second, o, have), gains.data(), have);
        }
    }
}

void toStereo(Channels& bus) {
    if (bus.size() == 1) bus.push_back(bus[0]);
}

// base + effects × gain; the effects are scaled as they are added, so no
// scaled copy of a long bus is made.
PCMAudio summed(const PCMAudio& base, const PCMAudio& effects, float gain = 1.0f) {
    PCMAudio sum;
    const size_t channels = std::min(base.channels.size(), effects.channels.size());
    for (size_t c = 0; c < channels; ++c) {
        const auto& a = base.channels[c];
        const auto& b = effects.channels[c];
        std::vector<float> s(std::min(a.size(), b.size()));
        if (gain == 1.0f) {
            for (size_t i = 0; i < s.size(); ++i) s[i] = a[i] + b[i];
        } else {
            // The same two roundings as a scaled copy: the build never fuses them.
            for (size_t i = 0; i < s.size(); ++i) s[i] = a[i] + b[i] * gain;
        }
        sum.channels.push_back(std::move(s));
    }
    return sum;
}

struct UnderCeiling {
    PCMAudio buffer;
    double effectsLoweredDb = 0;
};

// Lowers the effects before limiting anything: the voice is only limited when
// the effects cannot make room.
UnderCeiling underCeiling(PCMAudio base, const std::optional<PCMAudio>& effects, double ceilingDb) {
    UnderCeiling out;
    if (!effects) {
        out.buffer = std::move(base);
    } else {
        out.buffer = summed(base, *effects);
        if (!(TruePeak::measureDb(base) > ceilingDb + tolerance)) {
            for (int round = 0; round < 8; ++round) {
                const double peak = TruePeak::measureDb(out.buffer);
                if (peak - ceilingDb <= tolerance) break;
                out.effectsLoweredDb += (peak - ceilingDb) + 0.1;
                out.buffer = PCMAudio();
                out.buffer = summed(base, *effects, Decibels::linear(-out.effectsLoweredDb));
            }
        }
    }
    if (TruePeak::measureDb(out.buffer) > ceilingDb + tolerance)
        out.buffer = TruePeakLimiter::apply(out.buffer, ceilingDb).buffer;
    return out;
}

} // namespace

Builder::Builder(int64_t durationFrames) : durationFrames_(durationFrames) {
    if (durationFrames < 0 || durationFrames > PCMAudio::maximumFrames)
        throw EngineFailure::invalidParams("The plan's duration must be between 0 and 4 hours.");
    main_.assign(1, std::vector<float>(static_cast<size_t>(durationFrames), 0.0f));
}

void Builder::place(const Input& input) {
    if (input.role == AudioRole::soundEffect) {
        if (!effects_) effects_.emplace(1, std::vector<float>(static_cast<size_t>(durationFrames_), 0.0f));
        addTo(MemoryBus{*effects_}, input, MemoryClip{input.audio}, durationFrames_);
    } else {
        addTo(MemoryBus{main_}, input, MemoryClip{input.audio}, durationFrames_);
    }
}

Result Builder::finish(const Policy& policy, bool measured) && {
    toStereo(main_);
    std::optional<PCMAudio> effects;
    if (effects_) {
        effects.emplace(std::move(*effects_));
        effects_.reset();
    }
    // Effects stay one channel until they are used: a long mix needs the room
    // while the main bus is normalised.
    auto stereoEffects = [&effects] {
        if (effects) toStereo(effects->channels);
    };
    PCMAudio mainBus(std::move(main_));

    Result result;
    if (const auto* normalize = policy.normalizing()) {
        const double mainLufs = Loudness::integrated(mainBus);
        const bool effectsOnly = mainLufs <= Loudness::silenceLufs && effects.has_value();
        if (effectsOnly) stereoEffects();
        LoudnessNormalizer::Result normalized =
            LoudnessNormalizer::normalize(effectsOnly ? *effects : mainBus, normalize->targetLufs, normalize->ceilingDb);
        // What the normalizer read is not needed again.
        mainBus = PCMAudio();
        std::optional<PCMAudio> riding;
        if (!effectsOnly && effects) {
            riding = effects->scaled(normalized.gainDb);
            toStereo(riding->channels);
        }
        effects.reset();
        UnderCeiling limited = underCeiling(std::move(normalized.buffer), riding, normalize->ceilingDb);
        result.buffer = std::move(limited.buffer);
        result.reached = normalized.reached;
        result.effectsLoweredDb = limited.effectsLoweredDb;
        result.integratedLufs = Loudness::integrated(result.buffer);
        result.truePeakDb = TruePeak::measureDb(result.buffer);
        return result;
    }
    stereoEffects();
    if (const auto* keep = policy.keepingLevel()) {
        UnderCeiling limited = underCeiling(std::move(mainBus), effects, keep->ceilingDb);
        result.buffer = std::move(limited.buffer);
        result.effectsLoweredDb = limited.effectsLoweredDb;
    } else {
        result.buffer = effects ? summed(mainBus, *effects) : std::move(mainBus);
    }
    result.reached = true;
    if (measured) {
        result.integratedLufs = Loudness::integrated(result.buffer);
        result.truePeakDb = TruePeak::measureDb(result.buffer);
    } else {
        result.integratedLufs = Loudness::silenceLufs;
        result.truePeakDb = TruePeak::silenceDb;
    }
    return result;
}

namespace {

struct StreamedUnderCeiling {
    PCMSources::Source buffer;
    double effectsLoweredDb = 0;
};

StreamedUnderCeiling underCeiling(PCMSources::Source base, const PCMSources::Source& effects, double ceilingDb,
                                  const PCMStores& stores) {
    StreamedUnderCeiling out;
    if (!effects) {
        out.buffer = std::move(base);
    } else {
        out.buffer = PCMSources::summed(base, effects);
        if (!(TruePeak::measureDb(*base) > ceilingDb + tolerance)) {
            for (int round = 0; round < 8; ++round) {
                const double peak = TruePeak::measureDb(*out.buffer);
                if (peak - ceilingDb <= tolerance) break;
                out.effectsLoweredDb += (peak - ceilingDb) + 0.1;
                out.buffer = PCMSources::summed(base, effects, Decibels::linear(-out.effectsLoweredDb));
            }
        }
    }
    if (TruePeak::measureDb(*out.buffer) > ceilingDb + tolerance)
        out.buffer = TruePeakLimiter::apply(out.buffer, ceilingDb, stores).buffer;
    return out;
}

} // namespace

StoredBuilder::StoredBuilder(int64_t durationFrames, PCMStores stores)
    : durationFrames_(durationFrames), stores_(std::move(stores)) {
    if (durationFrames < 0 || durationFrames > PCMAudio::maximumFrames)
        throw EngineFailure::invalidParams("The plan's duration must be between 0 and 4 hours.");
    main_ = stores_(2, durationFrames);
}

void StoredBuilder::place(const Input& input) {
    if (input.role == AudioRole::soundEffect) {
        if (!effects_) effects_ = stores_(2, durationFrames_);
        addTo(StoredBus{*effects_, effectsMono_, {}}, input, MemoryClip{input.audio}, durationFrames_);
    } else {
        addTo(StoredBus{*main_, mainMono_, {}}, input, MemoryClip{input.audio}, durationFrames_);
    }
}

void StoredBuilder::place(const Input& input, const PCMSource& clip) {
    if (input.role == AudioRole::soundEffect) {
        if (!effects_) effects_ = stores_(2, durationFrames_);
        addTo(StoredBus{*effects_, effectsMono_, {}}, input, SourceClip{clip, {}}, durationFrames_);
    } else {
        addTo(StoredBus{*main_, mainMono_, {}}, input, SourceClip{clip, {}}, durationFrames_);
    }
}

StoredBuilder::Finished StoredBuilder::finish(const Policy& policy, bool measured) && {
    // A mono bus is heard in both channels without being copied.
    const PCMSources::Source mainBus = PCMSources::bus(main_, mainMono_);
    const PCMSources::Source effects = effects_ ? PCMSources::bus(effects_, effectsMono_) : nullptr;
    main_.reset();
    effects_.reset();
    Finished result;
    if (const auto* normalize = policy.normalizing()) {
        const double mainLufs = Loudness::integrated(*mainBus);
        const bool effectsOnly = mainLufs <= Loudness::silenceLufs && effects != nullptr;
        LoudnessNormalizer::Streamed normalized = LoudnessNormalizer::normalize(
            effectsOnly ? effects : mainBus, normalize->targetLufs, normalize->ceilingDb, stores_);
        PCMSources::Source riding;
        if (!effectsOnly && effects) riding = PCMSources::scaled(effects, normalized.numbers.gainDb);
        StreamedUnderCeiling limited = underCeiling(normalized.sound, riding, normalize->ceilingDb, stores_);
        result.buffer = std::move(limited.buffer);
        result.reached = normalized.numbers.reached;
        result.effectsLoweredDb = limited.effectsLoweredDb;
        result.integratedLufs = Loudness::integrated(*result.buffer);
        result.truePeakDb = TruePeak::measureDb(*result.buffer);
        return result;
    }
    if (const auto* keep = policy.keepingLevel()) {
        StreamedUnderCeiling limited = underCeiling(mainBus, effects, keep->ceilingDb, stores_);
        result.buffer = std::move(limited.buffer);
        result.effectsLoweredDb = limited.effectsLoweredDb;
    } else {
        result.buffer = effects ? PCMSources::summed(mainBus, effects) : mainBus;
    }
    result.reached = true;
    if (measured) {
        result.integratedLufs = Loudness::integrated(*result.buffer);
        result.truePeakDb = TruePeak::measureDb(*result.buffer);
    } else {
        result.integratedLufs = Loudness::silenceLufs;
        result.truePeakDb = TruePeak::silenceDb;
    }
    return result;
}

Result mix(const std::vector<Input>& inputs, int64_t durationFrames, const Policy& policy) {
    Builder builder(durationFrames);
    for (const Input& input : inputs) builder.place(input);
    return std::move(builder).finish(policy, true);
}

PCMAudio blend(const PCMAudio& wet, const PCMAudio& dry, double amount) {
    const float a = static_cast<float>(amount);
    const float b = 1.0f - a;
    PCMAudio out;
    const size_t channels = std::min(wet.channels.size(), dry.channels.size());
    for (size_t c = 0; c < channels; ++c) {
        const auto& w = wet.channels[c];
        const auto& d = dry.channels[c];
        std::vector<float> mixed(std::min(w.size(), d.size()));
        // Two products added, never fused into one step: every machine
        // gives the same samples.
        for (size_t i = 0; i < mixed.size(); ++i) {
            const float x = a * w[i];
            const float y = b * d[i];
            mixed[i] = x + y;
        }
        out.channels.push_back(std::move(mixed));
    }
    return out;
}

} // namespace korvel::AudioMixer
