#pragma once

#include "Core/Picture/RGBAImage.hpp"

#include <vector>

namespace korvel {

// Gaussian blurs of pictures, edge pixels repeated outward, and erosion.
namespace Blur {

// A four-channel blur kept at the size it was blurred at (a wide blur runs
// on a smaller copy) and read back linearly at full size, so that a caller
// who needs only some of its pixels pays only for those.
class Field {
public:
    Field() = default;
    Field(RGBAImage reduced, int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    // The four values at full-size pixel (x, y), as the full blurred picture
    // holds them.
    void at(int x, int y, float out[4]) const;
    // The same for the pixels [from, to) of row y, four values each.
    void row(int y, int from, int to, float* out) const;

private:
    struct Tap {
        int index;
        float weight; // of the next sample; 0 at the edges
    };
    RGBAImage reduced_;
    int width_ = 0, height_ = 0;
    std::vector<Tap> columns_, rows_;
};

// Sigma is clamped to [0, limit] (a client radius may be anything); above 4
// the blur runs on a smaller copy: the same Gaussian away from the edges,
// while within a couple of sigmas of an edge the copy repeats an average of
// the edge pixels where the full blur repeats the pixel itself.
RGBAImage gaussian(const RGBAImage& image, double sigma, double limit);
// The same of the picture drawn over transparent black onto a canvas of
// width x height (at the origin), without drawing it there first when the
// blur runs on a shrunk copy.
RGBAImage gaussianOnCanvas(const RGBAImage& picture, int width, int height, double sigma, double limit);
// The same of the pixels [left, right) x [top, bottom) of the picture
// stretched to width x height, each axis on its own and edge pixels repeated:
// when the blur runs on a shrunk copy, the copy is taken from the picture
// itself, so that it is never drawn at the full size.
RGBAImage gaussianStretched(const RGBAImage& picture, int left, int top, int right, int bottom, int width, int height,
                            double sigma, double limit);
// The same, read back only where asked.
Field field(const RGBAImage& image, double sigma, double limit);
// How many pixels a side one pixel of the shrunk copy stands for (1: the
// blur runs at full size).
int reduction(double sigma, double limit);
// The same as `field` for a picture of width x height (multiples of the
// reduction) given as its shrunk copy, each pixel the mean of the
// reduction^2 pixels it stands for.
Field reducedField(RGBAImage reduced, int width, int height, double sigma, double limit);
// The same on one plane of floats (width x height).
std::vector<float> gaussian(const std::vector<float>& plane, int width, int height, double sigma, double limit);
// The minimum over a disc of the radius (pixels), per channel.
RGBAImage eroded(const RGBAImage& image, double radius);
// The same on one plane of floats (width x height).
std::vector<float> eroded(const std::vector<float>& plane, int width, int height, double radius);

} // namespace Blur
} // namespace korvel
