#include "Adapters/Audio/AudioMethods.hpp"

#include "Core/Render/Contract.hpp"
#include "Core/Render/SegmentMethodTypes.hpp"
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

struct AudioSegmentParams {
    std::string key;
    std::string variant;
    int64_t outStartUs = 0;
    int64_t outEndUs = 0;
    std::string outPath;
    static AudioSegmentParams decode(const JSONReader& in) {
        AudioSegmentParams p;
        in.read("key", p.key);
        in.read("variant", p.variant);
        in.read("outStartUs", p.outStartUs);
        in.read("outEndUs", p.outEndUs);
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
    const auto m = plans.finalMix(*plan, sources, std::filesystem::path(p.outPath), job);
    return encoding(AudioMixResultModel(m.path, m.byteLength, m.durationUs, m.integratedLufs, m.truePeakDb,
                                        m.reachedTarget));
}

JSONValue segment(const JSONValue& params, AudioPlanRenderer& plans, const JobContext& job) {
    const auto p = decoded<AudioSegmentParams>(params);
    const JSONValue* plan = params.member("plan");
    if (!plan) throw EngineFailure::invalidParams("render.segment needs a plan.");
    const auto sources = sourcesOf(params);
    const auto variant =
        p.variant == "before" ? AudioPlanRenderer::Variant::before : AudioPlanRenderer::Variant::after;
    // The window as the video track takes it: a negative start counts as 0,
    // and a window that ends there or before holds nothing (its length would
    // come out negative, or overflow).
    const int64_t outStartUs = std::max<int64_t>(0, p.outStartUs);
    if (p.outEndUs <= outStartUs) throw EngineFailure::invalidParams("The segment holds no frames.");
    const auto s = plans.segment(*plan, sources, p.key, variant, outStartUs, p.outEndUs,
                                 std::filesystem::path(p.outPath), job);
    SegmentResult result;
    result.key = s.key;
    result.path = s.path;
    result.byteLength = s.byteLength;
    result.firstPtsUs = s.firstPtsUs;
    result.durationUs = s.durationUs;
    result.frameCount = s.frameCount;
    result.cached = false;
    if (s.copied) result.copied = true;
    return encoding(result);
}

} // namespace korvel::AudioMethods
