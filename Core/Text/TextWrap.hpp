#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel {

namespace TextMetrics {
// The canvas text unit in pixels: min(height * 9 / 1600, width / 100).
double unit(int64_t width, int64_t height);
} // namespace TextMetrics

// A line of a wrapping: tokens [begin, end).
struct TextSpan {
    size_t begin = 0;
    size_t end = 0;
    bool operator==(const TextSpan&) const = default;
};

// Breaks tokens into lines as evenly as the line count allows.
namespace TextWrap {
// gapsBefore[i] is added before token i when it follows another on its line.
std::vector<TextSpan> balanced(const std::vector<double>& widths, const std::vector<double>& gapsBefore,
                               double maxWidth);
std::vector<TextSpan> balanced(const std::vector<double>& widths, double space, double maxWidth);
} // namespace TextWrap

} // namespace korvel
