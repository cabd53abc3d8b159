#pragma once

#include "Core/Picture/PixelChain.hpp"
#include "Core/Picture/RGBAImage.hpp"

#include <functional>

namespace korvel {

// The one place where per-frame picture work is split into tiles and run in
// parallel on the shared thread pool. The steps themselves are pure
// functions of Core that work on a band of rows or a span of pixels.
namespace Tiles {

// Runs body(from, to) over bands of the rows [from, to), in parallel.
void rows(int from, int to, const std::function<void(int, int)>& body);
// The same in bands of `height` rows each (the last may be shorter), for
// work whose cost per band does not shrink with the band.
void bands(int from, int to, int height, const std::function<void(int, int)>& body);

// Runs a fused chain of pointwise steps over every pixel of the image,
// leaving it in `out` (the working space unless an encoder takes it).
void run(RGBAImage& image, const PixelChain& chain, PixelDomain out = PixelDomain::linearPremultiplied);

// The chain over the canvas rows [from, to) of the image, on this thread, in
// the same spans as run(): for a band that was just drawn, its pixels in `in`.
void runRows(RGBAImage& image, const PixelChain& chain, int from, int to,
             PixelDomain out = PixelDomain::linearPremultiplied, PixelDomain in = PixelDomain::linearPremultiplied);

} // namespace Tiles
} // namespace korvel
