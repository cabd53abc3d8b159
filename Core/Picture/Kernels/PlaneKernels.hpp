#pragma once

#include <cstddef>

namespace korvel {

// The ways into and out of the working space, a row at a time: the planes a
// decoded frame's converter gives to opaque RGBA light, and that light to
// the encoder's Y'CbCr. Vector code chosen for the processor at run time.
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

// A decoded 4:2:0 picture's codes, `bits` deep (uint8_t up to 8, else
// uint16_t), and its Y'CbCr to R'G'B' matrix, rows of three.
struct Source {
    int bits = 8;
    bool fullRange = false;
    float matrix[9] = {};
};

// The matrix of luma weights kr and kb, as the converter derives it.
void ycbcrToRgb(double kr, double kb, float matrix[9]);

// Floats of scratch a row of `count` needs.
size_t ycbcrScratch(int count);

// One row of R'G'B' (count even) from its luma and the chroma rows around
// it: Cb nearer, Cb other, Cr nearer, Cr other. Chroma is sited left and
// between rows: 3/4 of the nearer row and 1/4 of the other (the edge row
// repeated by the caller), and halfway between chroma columns on odd columns.
void ycbcrRow(const void* luma, const void* const chroma[4], int count, const Source& source, float* r, float* g, float* b,
              float* scratch);

// Planes (the same plane three times for grey) to opaque RGBA; what is not a
// number, or infinite, becomes 0.
void interleave(const float* r, const float* g, const float* b, float* rgba, int count, const Reading& reading);

// The encoder's side. bt709: clamped to [0, 1] and its camera curve, then
// the BT.709 matrix. hlg: BT.2020 primaries and the display-referred HLG
// curve of the reading side the other way, then the BT.2020 (non-constant
// luminance) matrix. bt709Encoded: straight values already on the BT.709
// curve, alpha beside, given the codes their premultiplied light would get
// under bt709 (opaque ones, the usual case, without leaving the curve).
enum class TargetCurve { bt709, hlg, bt709Encoded };

// Video-range codes `bits` deep: uint8_t up to 8, else uint16_t.
struct Codes {
    int bits = 8;
};

// One row of working-space RGBA (alpha not looked at but by bt709Encoded;
// NaN counts as 0) to luma codes and full-resolution colour differences.
void lumaRow(const float* rgba, int count, TargetCurve curve, const Codes& codes, void* luma, float* cb, float* cr);

// One row of R'G'B' already in the target's coding (its curve and
// primaries, as a reading with the same curve takes it in) to luma codes and
// full-resolution colour differences: what lumaRow gives for the light such
// a reading makes of it. The round trip only holds the values to the
// curve's range: HLG at least 0, BT.709 within [0, 1]; what is not finite
// counts as 0.
void signalRow(const float* r, const float* g, const float* b, int count, TargetCurve curve, const Codes& codes, void* luma,
               float* cb, float* cr);

// One 4:2:0 chroma row of count / 2 codes (count even) from the colour
// differences of rows 2i - 1 to 2i + 2, edge rows repeated by the caller:
// [1 3 3 1] / 8 down, [1 2 1] / 4 across around the even columns (chroma
// sited left), the edge column repeated. `scratch` holds count + 1 floats.
void chromaRow(const float* const rows[4], int count, const Codes& codes, void* out, float* scratch);

} // namespace PlaneKernels
} // namespace korvel
