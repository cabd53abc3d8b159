#include "Core/Analysis/SilenceDetector.hpp"

#include <algorithm>
#include <cmath>

namespace korvel::SilenceDetector {

namespace {
constexpr double floorDb = -120;
constexpr double voicedDb = -90;
constexpr int64_t shortestRunWindows = 10;
constexpr int64_t alwaysBridgedWindows = 3;

// Independent accumulators so the compiler can keep several lanes busy.
double meanSquare(const float* x, size_t n) {
    float lanes[8] = {};
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (int k = 0; k < 8; ++k) lanes[k] += x[i + k] * x[i + k];
    double sum = 0;
    for (float lane : lanes) sum += lane;
    for (; i < n; ++i) sum += double(x[i]) * x[i];
    return sum / double(n);
}

double levelOf(double power) {
    if (!(power > 0)) return floorDb;
    return std::max(floorDb, 10 * std::log10(power));
}

SilenceMeasurementValues measure(std::span<const double> levels) {
    std::vector<double> voiced;
    voiced.reserve(levels.size());
    for (double level : levels)
        if (level >= voicedDb) voiced.push_back(level);
    SilenceMeasurementValues values;
    if (voiced.empty()) return values;
    std::stable_sort(voiced.begin(), voiced.end());
    values.floorDb = percentile(voiced, 0.1);
    values.voiceDb = percentile(voiced, 0.9);
    values.thresholdDb = std::min(values.voiceDb - 6, std::max(values.floorDb + 6, values.voiceDb - 24));
    values.lowSeparation = values.voiceDb - values.floorDb < 12;
    return values;
}

struct WindowRange {
    int64_t start;
    int64_t end;
};

std::vector<SilenceRun> runs(std::span<const double> levels, double thresholdDb, double bridgeDb, int64_t durationUs) {
    const auto count = static_cast<int64_t>(levels.size());
    std::vector<WindowRange> merged;
    int64_t i = 0;
    while (i < count) {
        if (!(levels[i] < thresholdDb)) {
            ++i;
            continue;
        }
        int64_t end = i;
        while (end < count && levels[end] < thresholdDb) ++end;
        if (merged.empty()) {
            merged.push_back({i, end});
        } else {
            WindowRange& last = merged.back();
            bool bridged = i - last.end <= alwaysBridgedWindows;
            if (!bridged) {
                bridged = true;
                for (int64_t g = last.end; g < i; ++g)
                    if (!(levels[g] < bridgeDb)) {
                        bridged = false;
                        break;
                    }
            }
            if (bridged) last.end = end;
            else merged.push_back({i, end});
        }
        i = end;
    }

    std::vector<SilenceRun> result;
    for (const WindowRange& r : merged) {
        if (r.end - r.start < shortestRunWindows) continue;
        double power = 0;
        for (int64_t w = r.start; w < r.end; ++w) power += std::pow(10.0, levels[w] / 10);
        power /= double(r.end - r.start);
        result.push_back({r.start * windowUs, std::min(durationUs, r.end * windowUs), levelOf(power)});
    }
    return result;
}
} // namespace

Result analyze(std::span<const float> samples) {
    const auto count = static_cast<int64_t>(samples.size());
    const int64_t durationUs = (count * 1'000'000 + 24'000) / 48'000;
    const std::vector<double> levels = windowLevels(samples, windowFrames);
    return analyze(levels, durationUs);
}

std::vector<double> windowLevels(std::span<const float> samples, int frames) {
    const size_t size = static_cast<size_t>(frames);
    std::vector<double> levels((samples.size() + size - 1) / size);
    for (size_t w = 0; w < levels.size(); ++w) {
        const size_t start = w * size;
        const size_t n = std::min(size, samples.size() - start);
        levels[w] = levelOf(meanSquare(samples.data() + start, n));
    }
    return levels;
}

double windowLevel(std::span<const float> window) {
    if (window.empty()) return floorDb;
    return levelOf(meanSquare(window.data(), window.size()));
}

double percentile(std::span<const double> v, double p) {
    if (v.empty()) return floorDb;
    const double x = p * double(v.size() - 1);
    const auto i = static_cast<size_t>(x);
    const double f = x - double(i);
    if (i + 1 >= v.size()) return v.back();
    return (1 - f) * v[i] + f * v[i + 1];
}

Result analyze(std::span<const double> levels, int64_t durationUs) {
    Result result;
    result.measurement = measure(levels);
    const double bridgeDb = std::min(result.measurement.voiceDb - 6, result.measurement.thresholdDb + 8);
    result.runs = runs(levels, result.measurement.thresholdDb, bridgeDb, durationUs);
    return result;
}

std::vector<SpeechRegion> speechRegions(std::span<const SilenceRun> runs, int64_t durationUs, int64_t minPauseUs) {
    std::vector<SpeechRegion> regions;
    int64_t cursor = 0;
    for (const SilenceRun& run : runs) {
        if (run.endUs - run.startUs < minPauseUs) continue;
        if (cursor < run.startUs) regions.push_back({cursor, run.startUs});
        cursor = run.endUs;
    }
    if (cursor < durationUs) regions.push_back({cursor, durationUs});
    return regions;
}

} // namespace korvel::SilenceDetector
