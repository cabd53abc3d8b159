#include "Adapters/Analysis/AudioAnalysisMethods.hpp"

namespace korvel {
namespace AudioAnalysisMethods {

std::map<std::string, Job, std::less<>> table(const Inputs& inputs) {
    (void)inputs;
    std::map<std::string, Job, std::less<>> methods;
    return methods;
}

} // namespace AudioAnalysisMethods
} // namespace korvel
