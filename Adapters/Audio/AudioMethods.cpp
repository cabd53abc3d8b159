#include "Adapters/Audio/AudioMethods.hpp"

#include "Core/Wire/Contract.hpp"
#include "Core/Wire/SegmentMethodTypes.hpp"
#include "Core/Wire/AudioMixResultModel.hpp"

#include <algorithm>

namespace korvel::AudioMethods {

namespace {

struct MixParams {
    std::string outPath;
    static MixParams decode(const JSONReader& in) {
        MixParams p;
        in.read("outPath", p.outPath);
        return p;
    }
    void encode(JSONWriter&) const {}
};

std::map<std::string, JSONValue> sourcesOf(const JSONValue& params) {
    const JSONValue* sources = params.member("sources");
    if (!sources || !sources->isObject()) throw EngineFailure::invalidParams("An audio render needs its sources.");
    std::map<std::string, JSONValue> out;
    for (const auto& [id, value] : *sources->objectPtr()) out.emplace(id, value);
    return out;
}

} // namespace

JSONValue mix(const JSONValue& params, AudioPlanRenderer& plans, const JobContext& job) {
    const auto p = decoded<MixParams>(params);
    const JSONValue* plan = params.member("plan");
    if (!plan) throw EngineFailure::invalidParams("audio.mix needs a plan.");
    const auto sources = sourcesOf(params);
    return encoding(plans.finalMix(*plan, sources, std::filesystem::path(p.outPath), job));
}

SegmentResult segment(const SegmentParams& params, AudioPlanRenderer& plans, const JobContext& job) {
    if (!params.sources) throw EngineFailure::invalidParams("An audio render needs its sources.");
    // The window as the video track takes it: a negative start counts as 0,
    // and a window that ends there or before holds nothing (its length would
    // come out negative, or overflow).
    const int64_t outStartUs = std::max<int64_t>(0, params.outStartUs);
    if (params.outEndUs <= outStartUs) throw EngineFailure::invalidParams("The segment holds no frames.");
    return plans.segment(params.plan, *params.sources, params.key, params.variant, outStartUs, params.outEndUs,
                         std::filesystem::path(params.outPath), job);
}

} // namespace korvel::AudioMethods
