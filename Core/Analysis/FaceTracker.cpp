#include "Core/Analysis/FaceTracker.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace korvel {

NormalizedBox NormalizedBox::clamped() const {
    auto unit = [](double v) { return std::isnan(v) ? 0.0 : std::clamp(v, 0.0, 1.0); };
    double left = unit(x), top = unit(y);
    double right = unit(x + w), bottom = unit(y + h);
    return {left, top, std::max(right - left, 0.0), std::max(bottom - top, 0.0)};
}

namespace FaceTracker {

namespace {

struct OneEuro {
    double value = 0, derivative = 0;
    int64_t lastUs = 0;

    static double alpha(double cutoffHz, double dt) { return 1 / (1 + (1 / (2 * std::numbers::pi * cutoffHz)) / dt); }

    void update(double z, int64_t t) {
        double dt = std::max(double(t - lastUs) / 1'000'000, 0.001);
        lastUs = t;
        double d = z - value;
        derivative += alpha(derivativeCutoffHz, dt) * (d / dt - derivative);
        double cutoff = minCutoffHz + cutoffSlope * std::abs(derivative);
        value += alpha(cutoff, dt) * d;
    }
};

double area(const NormalizedBox& b) { return b.w * b.h; }

const DetectedFace* largest(const std::vector<DetectedFace>& faces) {
    const DetectedFace* best = nullptr;
    for (const auto& f : faces)
        if (!best || area(f.box) > area(best->box)) best = &f;
    return best;
}

double distance(double x0, double y0, double x1, double y1) { return std::hypot(x1 - x0, y1 - y0); }

struct TrackState {
    OneEuro xFilter, yFilter;
    double width = 0, height = 0;
    std::optional<NormalizedBox> candidate;
    int sightings = 0;

    explicit TrackState(const DetectedFace& face, int64_t t) {
        xFilter.value = face.box.centerX();
        yFilter.value = face.box.centerY();
        xFilter.lastUs = yFilter.lastUs = t;
        width = face.box.w;
        height = face.box.h;
    }

    const DetectedFace* choose(const std::vector<DetectedFace>& faces) {
        if (faces.empty()) {
            candidate.reset();
            sightings = 0;
            return nullptr;
        }
        const DetectedFace* nearest = nullptr;
        double nearestDistance = 0;
        for (const auto& f : faces) {
            double d = distance(xFilter.value, yFilter.value, f.box.centerX(), f.box.centerY());
            if (!nearest || d < nearestDistance) {
                nearest = &f;
                nearestDistance = d;
            }
        }
        if (nearestDistance <= nearDistance) {
            candidate.reset();
            sightings = 0;
            return nearest;
        }
        const DetectedFace* big = largest(faces);
        if (candidate && distance(candidate->centerX(), candidate->centerY(), big->box.centerX(), big->box.centerY()) <=
                             nearDistance) {
            ++sightings;
        } else {
            sightings = 1;
        }
        candidate = big->box;
        return sightings >= sightingsToSwitch ? big : nullptr;
    }

    void hold(const NormalizedBox& b) {
        bool taller = std::abs(b.h - height) / std::max(height, 0.000001) > sizeChange;
        bool wider = std::abs(b.w - width) / std::max(width, 0.000001) > sizeChange;
        if (taller || wider) {
            width = b.w;
            height = b.h;
        }
    }

    NormalizedBox box() const {
        return NormalizedBox{xFilter.value - width / 2, yFilter.value - height / 2, width, height}.clamped();
    }
};

} // namespace

std::optional<FaceTrackSpan> track(std::span<const FaceSample> samples, int64_t startUs, int64_t endUs) {
    bool anyFace = std::any_of(samples.begin(), samples.end(), [](const FaceSample& s) { return !s.faces.empty(); });
    if (!anyFace) return std::nullopt;
    FaceTrackSpan span{startUs, endUs, {}};
    std::optional<TrackState> state;
    for (const FaceSample& sample : samples) {
        bool detected = false;
        if (!state) {
            if (sample.faces.empty()) continue;
            state.emplace(*largest(sample.faces), sample.atUs);
            detected = true;
        } else if (const DetectedFace* face = state->choose(sample.faces)) {
            state->xFilter.update(face->box.centerX(), sample.atUs);
            state->yFilter.update(face->box.centerY(), sample.atUs);
            state->hold(face->box);
            detected = true;
        }
        span.samples.push_back({sample.atUs, state->box(), detected});
    }
    return span;
}

std::vector<FaceTrackSpan> tracks(std::span<const FaceSample> samples, int64_t durationUs, std::vector<int64_t> cutsUs) {
    std::vector<int64_t> bounds{0};
    std::erase_if(cutsUs, [&](int64_t c) { return !(c > 0 && c < durationUs); });
    std::sort(cutsUs.begin(), cutsUs.end());
    bounds.insert(bounds.end(), cutsUs.begin(), cutsUs.end());
    bounds.push_back(durationUs);
    std::vector<FaceTrackSpan> out;
    for (size_t i = 0; i + 1 < bounds.size(); ++i) {
        int64_t a = bounds[i], b = bounds[i + 1];
        if (!(a < b)) continue;
        std::vector<FaceSample> inside;
        for (const auto& s : samples)
            if (s.atUs >= a && s.atUs < b) inside.push_back(s);
        if (auto t = track(inside, a, b)) out.push_back(std::move(*t));
    }
    return out;
}

} // namespace FaceTracker
} // namespace korvel
