#include "Core/Analysis/ColorSteps.hpp"

#include <algorithm>
#include <cstdlib>

namespace korvel {

double ColorStepDetector::medianShift(std::span<const uint8_t> previous, std::span<const uint8_t> current) {
    if (previous.size() <= 2 || current.size() <= 2 || previous.size() != current.size()) return 0;
    std::vector<int> differences;
    differences.reserve(current.size() / 3 + 1);
    int largest = 0;
    for (size_t c = 0; c < 3; ++c) {
        differences.clear();
        for (size_t k = c; k < current.size(); k += 3) differences.push_back(int(current[k]) - int(previous[k]));
        auto middle = differences.begin() + static_cast<ptrdiff_t>(differences.size() / 2);
        std::nth_element(differences.begin(), middle, differences.end());
        largest = std::max(largest, std::abs(*middle));
    }
    return largest / 255.0;
}

std::vector<int64_t> ColorStepDetector::steps(std::span<const double> shifts, std::span<const int64_t> framePtsUs,
                                              int64_t durationUs) {
    size_t n = std::min(shifts.size(), framePtsUs.size());
    std::vector<int64_t> out;
    if (n < 2) return out;
    int64_t last = 0;
    for (size_t i = 1; i < n; ++i) {
        int64_t t = framePtsUs[i];
        if (shifts[i] >= stepShift && t - last >= spacingUs && durationUs - t >= spacingUs) {
            out.push_back(t);
            last = t;
        }
    }
    return out;
}

std::vector<SceneSpan> ColorStepDetector::takes(std::span<const SceneSpan> scenes, std::span<const int64_t> steps) {
    std::vector<SceneSpan> out;
    for (const SceneSpan& scene : scenes) {
        int64_t start = scene.startUs;
        double score = scene.score;
        for (int64_t step : steps) {
            if (step - start >= spacingUs && scene.endUs - step >= spacingUs) {
                out.push_back({start, step, score});
                start = step;
                score = 1.0;
            }
        }
        out.push_back({start, scene.endUs, score});
    }
    return out;
}

std::map<std::string, double> ColorTakeSummary::medians(const std::map<std::string, std::vector<double>>& values,
                                                        int64_t samples) {
    std::map<std::string, double> out;
    for (const auto& [name, list] : values) {
        if (list.empty() || 2 * static_cast<int64_t>(list.size()) <= samples) continue;
        std::vector<double> sorted = list;
        std::sort(sorted.begin(), sorted.end());
        out[name] = sorted[sorted.size() / 2];
    }
    return out;
}

} // namespace korvel
