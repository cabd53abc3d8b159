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
bool isBed(std::string_view recipe) { return std::find(beds.begin(), beds.end(), recipe) != beds.end(); }
} // namespace

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
