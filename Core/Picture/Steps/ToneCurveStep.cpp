#include "Core/Picture/Steps/ToneCurveStep.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

const std::array<std::pair<double, double>, 5>& ToneCurveStep::defaults() {
    static const std::array<std::pair<double, double>, 5> points{
        {{0, 0}, {0.25, 0.25}, {0.5, 0.5}, {0.75, 0.75}, {1, 1}}};
    return points;
}

ToneCurveStep::ToneCurveStep(std::vector<std::pair<double, double>> points) {
    std::stable_sort(points.begin(), points.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    // Equal x would divide by zero: the later point wins.
    for (const auto& [x, y] : points) {
        if (!std::isfinite(x) || !std::isfinite(y)) continue;
        if (!xs_.empty() && x == xs_.back()) {
            ys_.back() = y;
            continue;
        }
        xs_.push_back(x);
        ys_.push_back(y);
    }
    size_t n = xs_.size();
    slopes_.assign(n, 0.0);
    if (n >= 2) {
        std::vector<double> d(n - 1);
        for (size_t i = 0; i + 1 < n; ++i) d[i] = (ys_[i + 1] - ys_[i]) / (xs_[i + 1] - xs_[i]);
        slopes_[0] = d[0];
        slopes_[n - 1] = d[n - 2];
        for (size_t i = 1; i + 1 < n; ++i) slopes_[i] = d[i - 1] * d[i] <= 0 ? 0 : (d[i - 1] + d[i]) * 0.5;
        for (size_t i = 0; i + 1 < n; ++i) {
            if (d[i] == 0) {
                slopes_[i] = slopes_[i + 1] = 0;
                continue;
            }
            double a = slopes_[i] / d[i], b = slopes_[i + 1] / d[i];
            double s = a * a + b * b;
            if (s > 9) {
                double t = 3 / std::sqrt(s);
                slopes_[i] = t * a * d[i];
                slopes_[i + 1] = t * b * d[i];
            }
        }
    }
    if (n > 0) {
        x0_ = static_cast<float>(xs_.front());
        x1_ = static_cast<float>(xs_.back());
    }
    table_.resize(steps + 1);
    for (int i = 0; i <= steps; ++i) {
        double x = x0_ + (x1_ - x0_) * i / steps;
        table_[static_cast<size_t>(i)] = static_cast<float>(value(x));
    }
}

double ToneCurveStep::value(double x) const {
    size_t n = xs_.size();
    if (n == 0) return x;
    if (n == 1 || x <= xs_.front()) return ys_.front();
    if (x >= xs_.back()) return ys_.back();
    size_t k = static_cast<size_t>(std::upper_bound(xs_.begin(), xs_.end(), x) - xs_.begin()) - 1;
    double h = xs_[k + 1] - xs_[k];
    double t = (x - xs_[k]) / h;
    double t2 = t * t, t3 = t2 * t;
    return (2 * t3 - 3 * t2 + 1) * ys_[k] + (t3 - 2 * t2 + t) * h * slopes_[k] + (-2 * t3 + 3 * t2) * ys_[k + 1] +
           (t3 - t2) * h * slopes_[k + 1];
}

float ToneCurveStep::lookUp(float x) const {
    if (!(x > x0_)) return table_.front();
    if (!(x < x1_)) return table_.back();
    float at = (x - x0_) / (x1_ - x0_) * steps;
    int i = std::min(static_cast<int>(at), steps - 1);
    float f = at - static_cast<float>(i);
    return table_[static_cast<size_t>(i)] + (table_[static_cast<size_t>(i) + 1] - table_[static_cast<size_t>(i)]) * f;
}

void ToneCurveStep::run(float* rgba, int count, int, int) const {
    if (xs_.empty()) return;
    for (int i = 0; i < count; ++i, rgba += 4) {
        rgba[0] = lookUp(rgba[0]);
        rgba[1] = lookUp(rgba[1]);
        rgba[2] = lookUp(rgba[2]);
    }
}

} // namespace korvel
