#include "Core/Text/TextWrap.hpp"

#include <algorithm>

namespace korvel {

double TextMetrics::unit(int64_t width, int64_t height) {
    return std::min(static_cast<double>(height) * 9 / 1600, static_cast<double>(width) / 100);
}

namespace TextWrap {

namespace {

std::vector<TextSpan> greedy(const std::vector<double>& widths, const std::vector<double>& gaps, double maxWidth) {
    std::vector<TextSpan> lines;
    size_t start = 0;
    double line = 0;
    for (size_t i = 0; i < widths.size(); ++i) {
        if (i == 0) {
            line = widths[0];
            continue;
        }
        if (i > start && (line + gaps[i]) + widths[i] > maxWidth) {
            lines.push_back({start, i});
            start = i;
            line = widths[i];
        } else {
            line = line + (widths[i] + gaps[i]);
        }
    }
    if (!widths.empty()) lines.push_back({start, widths.size()});
    return lines;
}

} // namespace

std::vector<TextSpan> balanced(const std::vector<double>& widths, const std::vector<double>& gaps, double maxWidth) {
    if (widths.empty()) return {};
    const auto first = greedy(widths, gaps, maxWidth);
    const size_t n = first.size();
    if (n == 1) return first;
    double widest = *std::max_element(widths.begin(), widths.end());
    double low = std::min(maxWidth, widest);
    double high = maxWidth;
    // The bound keeps non-finite widths from spinning; 0.25 px needs far fewer.
    for (int step = 0; high - low > 0.25 && step < 2000; ++step) {
        const double mid = (high + low) * 0.5;
        if (greedy(widths, gaps, mid).size() == n) high = mid;
        else low = mid;
    }
    return greedy(widths, gaps, high);
}

std::vector<TextSpan> balanced(const std::vector<double>& widths, double space, double maxWidth) {
    return balanced(widths, std::vector<double>(widths.size(), space), maxWidth);
}

} // namespace TextWrap
} // namespace korvel
