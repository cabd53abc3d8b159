#include "Adapters/Render/MatteRefiner.hpp"

#include "Adapters/Render/Blur.hpp"
#include "Adapters/Render/Tiles.hpp"
#include "Core/Render/ColorMath.hpp"
#include "Core/Render/Compositing.hpp"
#include "Core/Render/DespillCube.hpp"
#include "Core/Render/Steps/CubeStep.hpp"

#include <algorithm>
#include <functional>
#include <cmath>

namespace korvel {

namespace {
inline float clamp01(float v) { return v > 0 ? (v < 1 ? v : 1.0f) : 0.0f; }
} // namespace

std::vector<float> MatteRefiner::plane(const RGBAImage& mask) const {
    const int w = canvas.pixelWidth(), h = canvas.pixelHeight();
    std::vector<float> out(static_cast<size_t>(w) * h, 0.0f);
    Tiles::rows(0, h, [&](int from, int to) {
        for (int y = from; y < to; ++y)
            for (int x = 0; x < w; ++x)
                if (const float* p = Compositing::at(mask, x, y)) out[static_cast<size_t>(y) * w + x] = ColorMath::sane(p[0]);
    });
    return out;
}

RGBAImage MatteRefiner::replacingBackground(const RGBAImage& picture, const RGBAImage& mask,
                                            const RGBAImage& fill) const {
    const int w = canvas.pixelWidth(), h = canvas.pixelHeight();
    const size_t n = static_cast<size_t>(w) * h;
    std::vector<float> raw = plane(mask);
    // 1.02 as the single-precision constant it is written as.
    const float harden = 1.02f;
    std::vector<float> inside(n), m4(n);
    auto pixels = [&](const std::function<void(size_t, size_t)>& body) {
        Tiles::rows(0, h, [&](int from, int to) {
            body(static_cast<size_t>(from) * static_cast<size_t>(w), static_cast<size_t>(to) * static_cast<size_t>(w));
        });
    };
    pixels([&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            inside[i] = clamp01(raw[i] * harden);
            float m2 = inside[i] * inside[i];
            m4[i] = m2 * m2;
        }
    });
    // Colour pulled in from the interior: blur(picture x m4) / blur(m4),
    // 0 where nothing of the interior reaches (no 0 / 0).
    RGBAImage base = RGBAImage::transparent(0, 0, w, h);
    Tiles::rows(0, h, [&](int from, int to) { Compositing::over(base, picture, from, to); });
    RGBAImage weighted = base;
    pixels([&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i)
            for (int c = 0; c < 3; ++c) weighted.pixels[i * 4 + c] *= m4[i];
    });
    double sigma = decontaminationSigma();
    double limit = std::hypot(canvas.width, canvas.height);
    RGBAImage blurredColour = Blur::gaussian(weighted, sigma, limit);
    std::vector<float> blurredMask = Blur::gaussian(m4, w, h, sigma, limit);
    RGBAImage foreground = base;
    Tiles::rows(0, h, [&](int from, int to) {
        for (int y = from; y < to; ++y) {
            for (int x = 0; x < w; ++x) {
                size_t i = static_cast<size_t>(y) * w + x;
                float d = blurredMask[i];
                float m = m4[i];
                float* f = &foreground.pixels[i * 4];
                for (int c = 0; c < 3; ++c) {
                    float estimate = d >= 1e-6f ? ColorMath::sane(blurredColour.pixels[i * 4 + c] / d) : 0.0f;
                    f[c] = ColorMath::sane(f[c] * m + estimate * (1 - m));
                }
            }
        }
    });
    if (despillGreen) {
        // Outside the eroded solid core every pixel loses its green spill.
        RGBAImage core = RGBAImage::transparent(0, 0, w, h);
        const float threshold = 250.0f / 255.0f;
        pixels([&](size_t from, size_t to) {
            for (size_t i = from; i < to; ++i) {
                float v = raw[i] > threshold ? 1.0f : 0.0f;
                core.pixels[i * 4] = core.pixels[i * 4 + 1] = core.pixels[i * 4 + 2] = v;
                core.pixels[i * 4 + 3] = 1;
            }
        });
        RGBAImage eroded = Blur::eroded(core, static_cast<float>(erosionRadius()));
        RGBAImage despilled = foreground;
        PixelChain chain(ColorSpace::itur709);
        chain.add(std::make_unique<CubeStep>(DespillCube::values(), DespillCube::dimension));
        Tiles::run(despilled, chain);
        RGBAImage mixed = RGBAImage::transparent(0, 0, w, h);
        Tiles::rows(0, h, [&](int from, int to) { Compositing::blendWithMask(foreground, despilled, eroded, mixed, from, to); });
        foreground = std::move(mixed);
    }
    RGBAImage insideMask = RGBAImage::transparent(0, 0, w, h);
    pixels([&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) insideMask.pixels[i * 4] = inside[i];
    });
    RGBAImage out = RGBAImage::transparent(0, 0, w, h);
    Tiles::rows(0, h, [&](int from, int to) { Compositing::blendWithMask(foreground, fill, insideMask, out, from, to); });
    return out;
}

} // namespace korvel
