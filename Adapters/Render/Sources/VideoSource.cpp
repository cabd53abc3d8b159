#include "Adapters/Render/Sources/VideoSource.hpp"

#include "Core/Time.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

RenderSize AffineTransform::appliedTo(double width, double height) const {
    double xs[4] = {0, a * width, c * height, a * width + c * height};
    double ys[4] = {0, b * width, d * height, b * width + d * height};
    auto [xMin, xMax] = std::minmax_element(std::begin(xs), std::end(xs));
    auto [yMin, yMax] = std::minmax_element(std::begin(ys), std::end(ys));
    return {std::llabs(Microseconds::roundedToInt64(*xMax - *xMin)), std::llabs(Microseconds::roundedToInt64(*yMax - *yMin))};
}

int Rotation::orientation(const AffineTransform& t) {
    if (t.a == 0 && t.b == 1 && t.c == -1 && t.d == 0) return 6;
    if (t.a == 0 && t.b == -1 && t.c == 1 && t.d == 0) return 8;
    if (t.a == -1 && t.b == 0 && t.c == 0 && t.d == -1) return 3;
    return 1;
}

} // namespace korvel
