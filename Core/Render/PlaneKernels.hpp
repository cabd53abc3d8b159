#pragma once

namespace korvel {

// The ways into and out of the working space, a row at a time: the planes a
// decoded frame's converter gives to opaque RGBA light, and that light to
// the gamma planes the encoder's converter reads. Vector code chosen for the
// processor at run time; the converter keeps only matrices, range and chroma.
namespace PlaneKernels {

// The curve a source's R'G'B' is taken off with. HLG is display-referred on
// BT.2020 primaries: system gamma 1.2 on the scene's luminance, a
// 1000 cd/m2 peak and 1.0 at 203 cd/m2, brought to BT.709 primaries.
enum class SourceCurve { none, bt709, srgb, hlg };

struct Reading {
    SourceCurve curve = SourceCurve::none;
    // BT.2020 primaries brought to BT.709 after a standard-range curve.
    bool wide = false;
    // HDR light shown in standard range: BT.2390 on luma, negatives clipped.
    bool toneMap = false;
};

// Planes (the same plane three times for grey) to opaque RGBA; what is not a
// number, or infinite, becomes 0.
void interleave(const float* r, const float* g, const float* b, float* rgba, int count, const Reading& reading);

// bt709: clamped to [0, 1] and its camera curve. hlg: BT.2020 primaries and
// the display-referred HLG curve of the reading side, the other way.
enum class TargetCurve { bt709, hlg };

// Working-space RGBA (alpha not looked at) to gamma planes; NaN counts as 0.
void deinterleave(const float* rgba, float* r, float* g, float* b, int count, TargetCurve curve);

} // namespace PlaneKernels
} // namespace korvel
