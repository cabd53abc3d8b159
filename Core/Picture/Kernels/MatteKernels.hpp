#pragma once

namespace korvel {

// The per-pixel loop of a matted background as vector code, compiled for
// several instruction sets and chosen for the processor at run time.
namespace MatteKernels {

// One row of `count` RGBA pixels: the mask's red value hardened (x 1.02,
// held to [0, 1]) into `inside`, and the picture over transparent black,
// kept where the interior is solid, laid over the fill through it. Pixels
// the interior covers only in part get the fill alone and are left for the
// caller to finish (0 < inside, inside^4 < 1).
void blend(float* out, float* inside, const float* picture, const float* mask, const float* fill, int count);
// The same, one pixel at a time, as the reference the kernel is held to.
void blendReference(float* out, float* inside, const float* picture, const float* mask, const float* fill, int count);

// The pixels of a row that the interior covers only in part (as `blend`
// leaves them), finished: their colour pulled in from `blurred` (the blur of
// what `weigh` gives, read back at each pixel) where the interior fades, then
// laid over the fill. Other pixels of `out` are left as they are.
void pull(float* out, const float* picture, const float* mask, const float* fill, const float* blurred, int count);
void pullReference(float* out, const float* picture, const float* mask, const float* fill, const float* blurred,
                   int count);

// One row of the picture over transparent black weighted by the fourth
// power of the mask's hardened interior, that power as the fourth value:
// what is blurred to pull the interior's colour outward.
void weigh(float* out, const float* picture, const float* mask, int count);
void weighReference(float* out, const float* picture, const float* mask, int count);

} // namespace MatteKernels
} // namespace korvel
