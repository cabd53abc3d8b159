#include "Adapters/Audio/AudioPlan.hpp"

#include "Core/Analysis/Fingerprint.hpp"
#include "Core/Audio/UntouchedSound.hpp"
#include "Core/ClientText.hpp"
#include "Core/Wire/Contract.hpp"

#include <cmath>
#include <vector>

namespace korvel {

namespace {

struct Wire {
    AudioMix audioMix;
    int64_t durationUs = 0;

    static Wire decode(const JSONReader& in) {
        Wire w;
        in.read("audioMix", w.audioMix);
        in.read("durationUs", w.durationUs);
        return w;
    }
    void encode(JSONWriter&) const {}
};

// Beyond this many decibels a gain or level turns samples into infinities.
constexpr double levelBoundDb = 200;

bool usable(double db) { return std::isfinite(db) && std::fabs(db) <= levelBoundDb; }

void checkLevels(const AudioMix& mix) {
    if (mix.targetLufs && !usable(*mix.targetLufs)) {
        throw EngineFailure::invalidParams("The audio mix has a loudness target out of range.");
    }
    if (!usable(mix.truePeakDb)) throw EngineFailure::invalidParams("The audio mix has a true-peak ceiling out of range.");
    for (const auto& t : mix.tracks) {
        for (const auto& p : t.gain) {
            if (!usable(p.gainDb)) throw EngineFailure::invalidParams("Audio track " + ClientText::quoted(t.id) + " has a gain out of range.");
        }
        if (t.isolation && std::isnan(t.isolation->wet)) {
            throw EngineFailure::invalidParams("Audio track " + ClientText::quoted(t.id) + " has an isolation amount out of range.");
        }
    }
}

} // namespace

AudioPlan::AudioPlan(const JSONValue& plan, const std::map<std::string, JSONValue>& sourceValues,
                     const std::string& engineVersion) {
    Wire wire = decoded<Wire>(plan);
    for (const auto& [id, value] : sourceValues) sources.emplace(id, decoded<EngineSource>(value));
    checkLevels(wire.audioMix);
    mix = std::move(wire.audioMix);
    durationUs = wire.durationUs;

    const JSONValue* raw = plan.member("audioMix");
    identify(raw ? *raw : JSONValue(), engineVersion);
}

AudioPlan::AudioPlan(const RenderPlan& plan, std::map<std::string, EngineSource> sourceEntries,
                     const std::string& engineVersion)
    : mix(plan.audioMix), durationUs(plan.durationUs), sources(std::move(sourceEntries)) {
    checkLevels(mix);
    identify(encoding(mix), engineVersion);
}

void AudioPlan::identify(const JSONValue& audioMix, const std::string& engineVersion) {
    std::vector<std::string> parts;
    parts.push_back(audioMix.canonical());
    parts.push_back(std::to_string(durationUs));
    for (const auto& [id, source] : sources) parts.push_back(id + "=" + source.contentHash);
    parts.push_back(engineVersion);
    identity = Fingerprint::of(parts);
}

AudioMixer::Policy AudioPlan::finishedPolicy() const {
    if (mix.targetLufs) return AudioMixer::Policy::normalize(*mix.targetLufs, mix.truePeakDb);
    for (const auto& t : mix.tracks) {
        if (t.role == AudioRole::music || t.role == AudioRole::soundEffect) {
            return AudioMixer::Policy::keepLevel(mix.truePeakDb);
        }
    }
    return AudioMixer::Policy::none();
}

std::optional<EngineSource> AudioPlan::untouchedVoice() const {
    auto id = UntouchedSound::asset(mix, durationUs);
    if (!id) return std::nullopt;
    auto it = sources.find(*id);
    if (it == sources.end()) return std::nullopt;
    return it->second;
}

} // namespace korvel
