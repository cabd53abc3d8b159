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
    struct Turn {
        double a, b, c, d;
        int orientation;
    };
    static constexpr Turn turns[] = {
        {-1, 0, 0, 1, 2}, {-1, 0, 0, -1, 3}, {1, 0, 0, -1, 4}, {0, 1, 1, 0, 5},
        {0, 1, -1, 0, 6}, {0, -1, -1, 0, 7}, {0, -1, 1, 0, 8},
    };
    for (const Turn& turn : turns) {
        if (t.a == turn.a && t.b == turn.b && t.c == turn.c && t.d == turn.d) return turn.orientation;
    }
    return 1;
}

} // namespace korvel
