#include "Core/Analysis/SceneDetector.hpp"

#include <algorithm>
#include <cmath>

namespace korvel::SceneDetector {

namespace {
double upperMedian(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
} // namespace

double threshold(std::span<const double> distances) {
    if (distances.empty()) return lowestThreshold;
    double median = upperMedian({distances.begin(), distances.end()});
    std::vector<double> deviations;
    deviations.reserve(distances.size());
    for (double d : distances) deviations.push_back(std::abs(d - median));
    double mad = upperMedian(std::move(deviations));
    return std::max(median + medianDeviations * mad, lowestThreshold);
}

std::vector<SceneSpan> scenes(std::span<const double> distances, std::span<const int64_t> framePtsUs, int64_t durationUs) {
    if (durationUs <= 0) return {};
    size_t n = std::min(distances.size(), framePtsUs.size());
    if (n < 2) return {{0, durationUs, 1}};
    double limit = threshold(distances.subspan(1, n - 1));
    std::vector<SceneSpan> out;
    int64_t start = 0;
    double score = 1;
    for (size_t i = 1; i < n; ++i) {
        int64_t t = framePtsUs[i];
        double d = distances[i];
        if (!(d >= limit) || t - start < shortestSceneUs || durationUs - t < shortestSceneUs) continue;
        out.push_back({start, t, score});
        score = std::min(d / (2 * limit), 1.0);
        start = t;
    }
    out.push_back({start, durationUs, score});
    return out;
}

} // namespace korvel::SceneDetector
