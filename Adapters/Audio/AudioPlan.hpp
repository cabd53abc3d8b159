#pragma once

#include "Core/Audio/AudioMixer.hpp"
#include "Core/JSONValue.hpp"
#include "Core/Plan/AudioMix.hpp"
#include "Core/Wire/EngineSource.hpp"
#include "Core/Plan/RenderPlan.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace korvel {

// What the audio side reads of a plan document: its audio mix, its length,
// the named sources, and an identity that changes with any of them.
struct AudioPlan {
    AudioMix mix;
    int64_t durationUs = 0;
    std::map<std::string, EngineSource> sources;
    std::string identity;

    // Throws the contract failure (-32602) of a missing member or source
    // entry, and -32602 for numbers that would make samples that are not
    // finite.
    AudioPlan(const JSONValue& plan, const std::map<std::string, JSONValue>& sources,
              const std::string& engineVersion);
    // The audio part of a plan the request has already decoded; only the
    // level checks can throw.
    AudioPlan(const RenderPlan& plan, std::map<std::string, EngineSource> sources, const std::string& engineVersion);

    AudioMixer::Policy finishedPolicy() const;
    std::optional<EngineSource> untouchedVoice() const;

private:
    void identify(const JSONValue& audioMix, const std::string& engineVersion);
};

} // namespace korvel
