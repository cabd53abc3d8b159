#include "Core/Timeline/FrameGrid.hpp"

#include "Core/Timeline/WideMath.hpp"
#include "Core/Time.hpp"

namespace korvel {

FrameGrid::FrameGrid(FrameRate rate) : fps(rate) {
    if (rate.num <= 0 || rate.den <= 0) throw TimeOverflow();
    // Checked before scaling: a huge rate must not overflow on the way.
    if (rate.den == 1 && rate.num > INT32_MAX / 1000) throw TimeOverflow();
    int64_t scale = rate.den == 1 ? rate.num * 1000 : rate.num;
    if (scale > INT32_MAX) throw TimeOverflow();
    timescale = static_cast<int32_t>(scale);
    ticksPerFrame = rate.den == 1 ? 1000 : rate.den;
}

double FrameGrid::frameDurationSeconds() const {
    return static_cast<double>(ticksPerFrame) / static_cast<double>(timescale);
}

int64_t FrameGrid::frame(int64_t us) const {
    using namespace WideMath;
    Wide den6 = mul(fps.den, Microseconds::perSecond);
    return narrow(add(mul(mul(2, us), fps.num), den6) / mul(2, den6));
}

int64_t FrameGrid::frameContaining(int64_t us) const {
    using namespace WideMath;
    Wide d = mul(mul(2, fps.den), Microseconds::perSecond);
    return narrow(mul(add(mul(2, us), 1), fps.num) / d);
}

int64_t FrameGrid::us(int64_t frame) const {
    using namespace WideMath;
    Wide n = mul(mul(mul(2, frame), fps.den), Microseconds::perSecond);
    return narrow(add(n, fps.num) / mul(2, fps.num));
}

} // namespace korvel
