#include "Core/Picture/RenderSize.hpp"

#include "Core/Time.hpp"

#include <algorithm>

namespace korvel {

RenderSize RenderSize::fitting(int64_t width, int64_t height, int64_t longEdge) {
    int64_t larger = std::max(width, height);
    if (longEdge >= larger) return {width, height};
    double s = static_cast<double>(longEdge) / static_cast<double>(larger);
    auto even = [s](int64_t side) { return 2 * Microseconds::roundedToInt64(s * static_cast<double>(side) * 0.5); };
    return {even(width), even(height)};
}

} // namespace korvel
