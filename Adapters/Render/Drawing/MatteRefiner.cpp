#include "Adapters/Render/Drawing/MatteRefiner.hpp"

#include "Adapters/Render/Drawing/Blur.hpp"
#include "Adapters/Render/Drawing/Tiles.hpp"
#include "Core/Picture/Color/ColorMath.hpp"
#include "Core/Picture/Compositing.hpp"
#include "Core/Picture/Color/DespillCube.hpp"
#include "Core/Picture/Kernels/MatteKernels.hpp"
#include "Core/Picture/Steps/CubeStep.hpp"

#include <algorithm>
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

namespace {
// What the mask says at one pixel: its coverage, the hardened interior and
// the interior's weight for pulling colour in.
struct Cover {
    float raw, inside, m4;
};

// One row of a picture in canvas columns; nothing where it does not reach.
struct Row {
    const float* pixels = nullptr;
    int from = 0, to = 0;

    Row(const RGBAImage& image, int y) {
        if (y < image.y || y >= image.y + image.height || image.width <= 0) return;
        pixels = image.row(y - image.y);
        from = image.x;
        to = image.x + image.width;
    }
    const float* at(int x) const { return x >= from && x < to ? pixels + static_cast<size_t>(x - from) * 4 : nullptr; }
    bool covers(int width) const { return pixels && from <= 0 && to >= width; }
};

inline Cover cover(const Row& mask, int x) {
    // 1.02 as the single-precision constant it is written as.
    const float harden = 1.02f;
    const float* p = mask.at(x);
    float raw = p ? ColorMath::sane(p[0]) : 0.0f;
    float inside = clamp01(raw * harden);
    float m2 = inside * inside;
    return {raw, inside, m2 * m2};
}

// The picture over transparent black, as drawn onto an empty canvas.
inline void base(const Row& picture, int x, float out[4]) {
    const float* s = picture.at(x);
    if (!s) {
        out[0] = out[1] = out[2] = out[3] = 0;
        return;
    }
    float keep = 1 - s[3];
    for (int c = 0; c < 4; ++c) out[c] = ColorMath::sane(s[c] + 0.0f * keep);
}

// The colour at a pixel with its interior colour pulled in where the mask
// is partial (`pulled` holds blur(picture x m4) and blur(m4)).
inline void foreground(const float b[4], const Cover& k, const Blur::Field& pulled, int x, int y, float f[4]) {
    f[3] = b[3];
    if (k.m4 >= 1 || k.inside <= 0) {
        // A solid interior keeps its colour; where the mask is empty the
        // fill covers whatever stands here.
        for (int c = 0; c < 3; ++c) f[c] = k.m4 >= 1 ? b[c] : 0.0f;
        return;
    }
    float blurred[4];
    pulled.at(x, y, blurred);
    float d = blurred[3];
    for (int c = 0; c < 3; ++c) {
        // 0 where nothing of the interior reaches (no 0 / 0).
        float estimate = d >= 1e-6f ? ColorMath::sane(blurred[c] / d) : 0.0f;
        f[c] = ColorMath::sane(b[c] * k.m4 + estimate * (1 - k.m4));
    }
}
} // namespace

RGBAImage MatteRefiner::replacingBackground(const RGBAImage& picture, const RGBAImage& mask,
                                            const RGBAImage& fill) const {
    const int w = canvas.pixelWidth(), h = canvas.pixelHeight();
    // Colour pulled in from the interior: blur(picture x m4) / blur(m4),
    // both blurred as one picture (m4 as its fourth value) and read back
    // only where the mask is partial.
    auto weighted = [&](int y, float* o) {
        Row m(mask, y), p(picture, y);
        if (m.covers(w) && p.covers(w)) {
            MatteKernels::weigh(o, p.at(0), m.at(0), w);
            return;
        }
        for (int x = 0; x < w; ++x, o += 4) {
            Cover k = cover(m, x);
            base(p, x, o);
            for (int c = 0; c < 3; ++c) o[c] *= k.m4;
            o[3] = k.m4;
        }
    };
    const double sigma = decontaminationSigma(), limit = std::hypot(canvas.width, canvas.height);
    const int f = Blur::reduction(sigma, limit);
    Blur::Field pulled;
    if (f > 1 && w % f == 0 && h % f == 0) {
        // Shrunk as it is made, so that the full-size picture never exists.
        RGBAImage reduced = RGBAImage::blank(0, 0, w / f, h / f);
        const float share = 1.0f / static_cast<float>(f * f);
        Tiles::rows(0, reduced.height, [&](int from, int to) {
            std::vector<float> line(static_cast<size_t>(w) * 4);
            std::vector<float> sums(static_cast<size_t>(reduced.width) * 4);
            for (int r = from; r < to; ++r) {
                std::fill(sums.begin(), sums.end(), 0.0f);
                for (int j = 0; j < f; ++j) {
                    weighted(r * f + j, line.data());
                    const float* l = line.data();
                    for (float* q = sums.data(); q != sums.data() + sums.size(); q += 4) {
                        // In a local, so that the four values add as one vector.
                        float sum[4] = {q[0], q[1], q[2], q[3]};
                        for (int i = 0; i < f; ++i, l += 4)
                            for (int c = 0; c < 4; ++c) sum[c] += l[c];
                        std::copy_n(sum, 4, q);
                    }
                }
                float* o = reduced.row(r);
                for (size_t i = 0; i < sums.size(); ++i) o[i] = sums[i] * share;
            }
        });
        pulled = Blur::reducedField(std::move(reduced), w, h, sigma, limit);
    } else {
        RGBAImage full = RGBAImage::blank(0, 0, w, h);
        Tiles::rows(0, h, [&](int from, int to) {
            for (int y = from; y < to; ++y) weighted(y, full.row(y));
        });
        pulled = Blur::field(full, sigma, limit);
    }
    RGBAImage out = RGBAImage::blank(0, 0, w, h);
    if (!despillGreen) {
        Tiles::rows(0, h, [&](int from, int to) {
            std::vector<float> inside(static_cast<size_t>(w)), blurred(static_cast<size_t>(w) * 4);
            for (int y = from; y < to; ++y) {
                float* o = out.row(y);
                Row m(mask, y), p(picture, y), under(fill, y);
                auto finish = [&](int x) {
                    Cover k = cover(m, x);
                    float b[4], f[4];
                    base(p, x, b);
                    foreground(b, k, pulled, x, y, f);
                    const float* pb = under.at(x);
                    for (int c = 0; c < 4; ++c)
                        o[x * 4 + c] = ColorMath::sane(f[c] * k.inside + (pb ? pb[c] : 0.0f) * (1 - k.inside));
                };
                if (!m.covers(w) || !p.covers(w) || !under.covers(w)) {
                    for (int x = 0; x < w; ++x) finish(x);
                    continue;
                }
                // Solid and empty pixels first; the partial ones then pull
                // their colour in, in runs (short gaps bridged) whose blur is
                // read back a row at a time.
                MatteKernels::blend(o, inside.data(), p.at(0), m.at(0), under.at(0), w);
                auto partial = [&](int x) {
                    float in = inside[static_cast<size_t>(x)], m2 = in * in;
                    return in > 0 && m2 * m2 < 1;
                };
                const int gap = 16;
                for (int x = 0; x < w;) {
                    if (!partial(x)) {
                        ++x;
                        continue;
                    }
                    int last = x;
                    for (int e = x + 1; e < w && e - last <= gap; ++e)
                        if (partial(e)) last = e;
                    pulled.row(y, x, last + 1, blurred.data());
                    MatteKernels::pull(o + static_cast<size_t>(x) * 4, p.at(x), m.at(x), under.at(x), blurred.data(),
                                       last + 1 - x);
                    x = last + 1;
                }
            }
        });
        return out;
    }
    RGBAImage front = RGBAImage::blank(0, 0, w, h);
    // Outside the eroded solid core every pixel loses its green spill.
    std::vector<float> core(static_cast<size_t>(w) * h);
    const float threshold = 250.0f / 255.0f;
    Tiles::rows(0, h, [&](int from, int to) {
        for (int y = from; y < to; ++y) {
            float* f = front.row(y);
            float* k1 = core.data() + static_cast<size_t>(y) * w;
            Row mr(mask, y), p(picture, y);
            for (int x = 0; x < w; ++x, f += 4) {
                Cover k = cover(mr, x);
                float b[4];
                base(p, x, b);
                foreground(b, k, pulled, x, y, f);
                k1[x] = k.raw > threshold ? 1.0f : 0.0f;
            }
        }
    });
    std::vector<float> eroded = Blur::eroded(core, w, h, static_cast<float>(erosionRadius()));
    RGBAImage despilled = front;
    PixelChain chain(ColorSpace::itur709);
    chain.add(std::make_unique<CubeStep>(DespillCube::values(), DespillCube::dimension));
    Tiles::run(despilled, chain);
    Tiles::rows(0, h, [&](int from, int to) {
        for (int y = from; y < to; ++y) {
            const float* f = front.row(y);
            const float* d = despilled.row(y);
            const float* e = eroded.data() + static_cast<size_t>(y) * w;
            float* o = out.row(y);
            Row mr(mask, y), under(fill, y);
            for (int x = 0; x < w; ++x, f += 4, d += 4, o += 4) {
                Cover k = cover(mr, x);
                float solid = clamp01(ColorMath::sane(e[x]));
                const float* pb = under.at(x);
                for (int c = 0; c < 4; ++c) {
                    float mixed = ColorMath::sane(f[c] * solid + d[c] * (1 - solid));
                    o[c] = ColorMath::sane(mixed * k.inside + (pb ? pb[c] : 0.0f) * (1 - k.inside));
                }
            }
        }
    });
    return out;
}

} // namespace korvel
