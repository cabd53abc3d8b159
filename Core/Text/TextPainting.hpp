#pragma once

#include "Core/Picture/RGBAImage.hpp"
#include "Core/Plan/TextEntrance.hpp"
#include "Core/Plan/TextStyle.hpp"
#include "Core/Text/GlyphOutline.hpp"
#include "Core/Text/Palette.hpp"

#include <limits>
#include <memory>
#include <optional>
#include <vector>

namespace korvel {

// The pixel work of text layers, apart from the fonts that give the glyphs:
// filling coverage, colour glyphs, shadows' reach and entering runs in
// their poses. Pictures are canvas pixels with y down.
namespace TextPainting {

// Tiles may reach this far past the canvas: enough for any blur we allow.
constexpr int tileMargin = 512;
// The largest Gaussian sigma of shadows and entrance blurs, in pixels.
constexpr double maxSigma = 128;

// A box in canvas pixels; empty until something is added.
struct Box {
    double x0 = std::numeric_limits<double>::infinity(), y0 = x0;
    double x1 = -x0, y1 = -x0;
    void add(double ax, double ay, double bx, double by) {
        x0 = std::min(x0, ax), y0 = std::min(y0, ay), x1 = std::max(x1, bx), y1 = std::max(y1, by);
    }
    bool empty() const { return !(x1 > x0) || !(y1 > y0); }
};

struct PixelRect {
    int x = 0, y = 0, w = 0, h = 0;
    bool empty() const { return w <= 0 || h <= 0; }
};

// The box grown by the margin, rounded outwards and clipped to the limits.
PixelRect clip(const Box& box, double margin, int limitX0, int limitY0, int limitX1, int limitY1);

// Encoded (ITU-R 709) premultiplied values to linear premultiplied.
void toLinear(RGBAImage& image);
// Source-over of one colour through a coverage mask of the image's size.
void fill(RGBAImage& image, const std::vector<float>& coverage, const PaletteColor& color);
// A colour glyph stretched over its box, bilinear, source-over; its alpha
// also goes over `alpha` when one is given.
void drawImage(RGBAImage& image, std::vector<float>* alpha, const GlyphImage& glyph, double left, double top,
               double right, double bottom);
// Source-over of one premultiplied picture onto another of the same rectangle.
void over(RGBAImage& image, const RGBAImage& top);

// The shadow's drop and blur in pixels, held where a layer can still carry them.
double shadowOffset(const TextShadow& shadow, double unit, double canvasHeight);
double shadowBlur(const TextShadow& shadow, double unit);
// How far past its ink an item's pixels may reach.
double inkMargin(const TextStyle& style, double unit, double canvasHeight);

// A run's alpha in its pose under the item's fade, in 0...1.
double runAlpha(double fade, const TextPose& pose);

// One entering run's tile in its pose, placed on the canvas.
struct PosedRun {
    const RGBAImage* image; // the tile, kept alive by the caller
    RGBAImage blurred;      // when the pose blurs
    double scale, centerX, centerY, shift;
    float alpha;
    PixelRect dest;
};

// The tile of a run whose line boxes centre on (centerX, centerY) and are
// boxHeight high, in its pose on a width x height canvas; none when the
// pose can't be drawn or nothing of it lands on the canvas.
std::optional<PosedRun> posed(const RGBAImage& tile, double centerX, double centerY, double boxHeight,
                              const TextPose& pose, double alpha, double unit, int width, int height);
// The runs over one another in order; null when there are none.
std::shared_ptr<const RGBAImage> composite(const std::vector<PosedRun>& runs, int width, int height);

} // namespace TextPainting

} // namespace korvel
