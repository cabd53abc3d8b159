#include "Core/Audio/Synth/SoundRecipes.hpp"

#include "Core/Audio/Synth/EffectSynth.hpp"
#include "Core/Audio/Synth/MusicBedSynth.hpp"
#include "Core/Audio/TruePeak.hpp"
#include "Core/ClientText.hpp"
#include "Core/Jobs.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace korvel::SoundRecipes {

namespace {

// A stretch of a bed read from its chords.
class BedStretch : public PCMSource {
public:
    BedStretch(MusicBedSynth::Looped bed, int64_t from, int64_t count)
        : bed_(std::move(bed)), from_(from), count_(count) {}
    int64_t frameCount() const override { return count_; }
    int channelCount() const override { return static_cast<int>(bed_.body.size()); }
    void read(int c, int64_t from, int64_t count, float* out) const override {
        const auto& body = bed_.body[static_cast<size_t>(c)];
        for (int64_t k = 0; k < count; ++k) {
            const int64_t i = from_ + from + k;
            out[k] = i >= 0 && i < bed_.frames ? body[static_cast<size_t>(bed_.bodyFrame(i))] : 0.0f;
        }
    }

private:
    MusicBedSynth::Looped bed_;
    int64_t from_, count_;
};

} // namespace

bool isBed(std::string_view recipe) { return std::find(beds.begin(), beds.end(), recipe) != beds.end(); }

PCMSources::Source source(std::string_view recipe, int64_t seed, int64_t frames, int64_t from, int64_t count) {
    check(recipe, frames);
    if (isBed(recipe))
        return std::make_shared<BedStretch>(MusicBedSynth::looped(recipe, seed, frames, bedLufs), from, count);
    PCMAudio audio = render(recipe, seed, frames);
    PCMAudio cut;
    for (const auto& channel : audio.channels) {
        std::vector<float> part(static_cast<size_t>(count), 0.0f);
        for (int64_t k = 0; k < count; ++k) {
            const int64_t i = from + k;
            if (i >= 0 && i < static_cast<int64_t>(channel.size())) part[static_cast<size_t>(k)] = channel[static_cast<size_t>(i)];
        }
        cut.channels.push_back(std::move(part));
    }
    return PCMSources::holding(std::move(cut));
}

void check(std::string_view recipe, std::optional<int64_t> frames) {
    const std::string name(recipe);
    // The length comes from the client's plan: refuse it before allocating.
    if (frames && *frames > PCMAudio::maximumFrames)
        throw EngineFailure::invalidParams("The sound " + ClientText::quoted(name) + " cannot be longer than 4 hours.");
    if (isBed(recipe)) {
        if (!frames) throw EngineFailure::invalidParams("The music recipe " + ClientText::quoted(name) + " needs a length.");
    } else if (std::find(effects.begin(), effects.end(), recipe) == effects.end()) {
        throw EngineFailure::invalidParams("Unknown sound recipe: " + ClientText::quoted(name) + ".");
    }
}

PCMAudio render(std::string_view recipe, int64_t seed, std::optional<int64_t> frames) {
    check(recipe, frames);
    const std::string name(recipe);
    if (isBed(recipe)) return PCMAudio(MusicBedSynth::bed(recipe, seed, *frames, bedLufs));
    std::optional<std::vector<float>> samples = EffectSynth::render(recipe, seed);
    if (!samples) throw EngineFailure::invalidParams("Unknown sound recipe: " + ClientText::quoted(name) + ".");
    PCMAudio audio = PCMAudio::mono(std::move(*samples));
    const double peak = TruePeak::measureDb(audio);
    const float gain = static_cast<float>(std::pow(10.0, (effectPeakDb - peak) / 20.0));
    for (float& v : audio.channels[0]) v *= gain;
    if (frames) audio.channels[0].resize(static_cast<size_t>(std::max<int64_t>(0, *frames)), 0.0f);
    return audio;
}

} // namespace korvel::SoundRecipes
