#include "Core/Timeline/Framing.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

namespace {
double placed(double sourceSide, double side, double center) {
    if (sourceSide <= side) return (sourceSide - side) * 0.5;
    return std::min(sourceSide - side, std::max(0.0, center * sourceSide - side * 0.5));
}
} // namespace

SourceWindow FramingInput::window(NormalizedPoint center, double scale) const {
    double wide = canvasWidth / sourceWidth;
    double tall = canvasHeight / sourceHeight;
    double cover = std::max(wide, tall);
    double contain = std::min(wide, tall);
    if (std::isnan(scale)) scale = 1;
    double zoom = std::max(scale * cover, contain);
    // A client scale so large that the window would shrink below one source
    // pixel (or one that is not a number) is held at that one pixel.
    double limit = std::max(std::min(canvasWidth, canvasHeight), contain);
    if (!(zoom <= limit)) zoom = limit;
    if (!(zoom > 0)) zoom = contain > 0 ? contain : 1;
    SourceWindow w;
    w.width = canvasWidth / zoom;
    w.height = canvasHeight / zoom;
    w.x = placed(sourceWidth, w.width, std::isfinite(center.x) ? center.x : 0.5);
    w.y = placed(sourceHeight, w.height, std::isfinite(center.y) ? center.y : 0.5);
    return w;
}

bool SourceWindow::showsPastTheSource(double sourceWidth, double sourceHeight) const {
    return x < -0.001 || y < -0.001 || x + width > sourceWidth + 0.001 || y + height > sourceHeight + 0.001;
}

} // namespace korvel
