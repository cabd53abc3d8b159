#include "Adapters/Analysis/AudioAnalysisMethods.hpp"

#include "Adapters/Audio/AudioMethods.hpp"
#include "Adapters/Audio/AudioPlanRenderer.hpp"
#include "Adapters/Models/ModelMethods.hpp"

namespace korvel {
namespace AudioAnalysisMethods {

std::map<std::string, Job, std::less<>> table(const Inputs& inputs) {
    std::map<std::string, Job, std::less<>> methods;
    if (auto plans = inputs.plans) {
        methods["audio.mix"] = [plans](const JSONValue& params, const JobContext& job) {
            return AudioMethods::mix(params, *plans, job);
        };
    }
    if (auto store = inputs.store) {
        methods["models.status"] = [store](const JSONValue&, const JobContext&) { return ModelMethods::status(*store); };
        methods["models.install"] = [store](const JSONValue& params, const JobContext& job) {
            return ModelMethods::install(*store, params, job);
        };
    }
    return methods;
}

Job audioSegment(std::shared_ptr<AudioPlanRenderer> plans) {
    return [plans](const JSONValue& params, const JobContext& job) { return AudioMethods::segment(params, *plans, job); };
}

} // namespace AudioAnalysisMethods
} // namespace korvel
