#include "Adapters/Analysis/AudioAnalysisMethods.hpp"

#include "Adapters/Models/ModelMethods.hpp"

namespace korvel {
namespace AudioAnalysisMethods {

std::map<std::string, Job, std::less<>> table(const Inputs& inputs) {
    std::map<std::string, Job, std::less<>> methods;
    if (auto store = inputs.store) {
        methods["models.status"] = [store](const JSONValue&, const JobContext&) { return ModelMethods::status(*store); };
        methods["models.install"] = [store](const JSONValue& params, const JobContext& job) {
            return ModelMethods::install(*store, params, job);
        };
    }
    return methods;
}

} // namespace AudioAnalysisMethods
} // namespace korvel
