#include "Core/Text/TextPainting.hpp"

#include "Core/Picture/Color/ColorMath.hpp"
#include "Core/Picture/GaussianBlur.hpp"

#include <algorithm>
#include <cmath>

namespace korvel::TextPainting {

PixelRect clip(const Box& box, double margin, int limitX0, int limitY0, int limitX1, int limitY1) {
    if (box.empty()) return {};
    const double x0 = std::floor(box.x0 - margin), y0 = std::floor(box.y0 - margin);
    const double x1 = std::ceil(box.x1 + margin), y1 = std::ceil(box.y1 + margin);
    const int cx0 = static_cast<int>(std::clamp(x0, double(limitX0), double(limitX1)));
    const int cy0 = static_cast<int>(std::clamp(y0, double(limitY0), double(limitY1)));
    const int cx1 = static_cast<int>(std::clamp(x1, double(limitX0), double(limitX1)));
    const int cy1 = static_cast<int>(std::clamp(y1, double(limitY0), double(limitY1)));
    return {cx0, cy0, cx1 - cx0, cy1 - cy0};
}

void toLinear(RGBAImage& image) {
    const ColorMath::Curve& curve = ColorMath::curve(ColorSpace::itur709);
    for (size_t i = 0; i + 3 < image.pixels.size(); i += 4) {
        float* p = image.pixels.data() + i;
        const float a = p[3];
        if (a <= 0) {
            p[0] = p[1] = p[2] = p[3] = 0;
            continue;
        }
        for (int c = 0; c < 3; ++c) p[c] = curve.decode(std::clamp(p[c] / a, 0.0f, 1.0f)) * a;
    }
}

void fill(RGBAImage& image, const std::vector<float>& coverage, const PaletteColor& color) {
    const float r = static_cast<float>(color.r), g = static_cast<float>(color.g), b = static_cast<float>(color.b);
    const float a = static_cast<float>(color.a);
    for (size_t i = 0; i < coverage.size(); ++i) {
        const float k = coverage[i] * a;
        if (k <= 0) continue;
        float* p = image.pixels.data() + 4 * i;
        const float keep = 1 - k;
        p[0] = r * k + p[0] * keep;
        p[1] = g * k + p[1] * keep;
        p[2] = b * k + p[2] * keep;
        p[3] = k + p[3] * keep;
    }
}

void drawImage(RGBAImage& image, std::vector<float>* alpha, const GlyphImage& glyph, double left, double top,
               double right, double bottom) {
    if (glyph.width <= 0 || glyph.height <= 0 || !(right > left) || !(bottom > top)) return;
    const int x0 = std::max(0, static_cast<int>(std::floor(left)) - image.x);
    const int y0 = std::max(0, static_cast<int>(std::floor(top)) - image.y);
    const int x1 = std::min(image.width, static_cast<int>(std::ceil(right)) - image.x);
    const int y1 = std::min(image.height, static_cast<int>(std::ceil(bottom)) - image.y);
    const double sx = glyph.width / (right - left), sy = glyph.height / (bottom - top);
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const double u = (x + image.x + 0.5 - left) * sx - 0.5, v = (y + image.y + 0.5 - top) * sy - 0.5;
            const int iu = static_cast<int>(std::floor(u)), iv = static_cast<int>(std::floor(v));
            const double fu = u - iu, fv = v - iv;
            float px[4] = {0, 0, 0, 0};
            for (int k = 0; k < 4; ++k) {
                const int tu = iu + (k & 1), tv = iv + (k >> 1);
                if (tu < 0 || tv < 0 || tu >= glyph.width || tv >= glyph.height) continue;
                const double w = ((k & 1) ? fu : 1 - fu) * ((k >> 1) ? fv : 1 - fv);
                const uint8_t* s = glyph.rgba.data() + 4 * (static_cast<size_t>(tv) * glyph.width + tu);
                const double a = s[3] / 255.0;
                for (int c = 0; c < 3; ++c) px[c] += static_cast<float>(w * a * s[c] / 255.0);
                px[3] += static_cast<float>(w * a);
            }
            if (px[3] <= 0) continue;
            const size_t at = static_cast<size_t>(y) * image.width + x;
            float* p = image.pixels.data() + 4 * at;
            const float keep = 1 - px[3];
            for (int c = 0; c < 4; ++c) p[c] = px[c] + p[c] * keep;
            if (alpha) (*alpha)[at] = px[3] + (*alpha)[at] * keep;
        }
    }
}

void over(RGBAImage& image, const RGBAImage& top) {
    for (size_t i = 0; i + 3 < top.pixels.size(); i += 4) {
        const float k = 1 - top.pixels[i + 3];
        for (int c = 0; c < 4; ++c) image.pixels[i + c] = top.pixels[i + c] + image.pixels[i + c] * k;
    }
}

double shadowOffset(const TextShadow& s, double unit, double canvasHeight) {
    const double v = s.offsetYPct * unit;
    return std::isfinite(v) ? std::clamp(v, -canvasHeight - tileMargin, canvasHeight + tileMargin) : 0.0;
}

double shadowBlur(const TextShadow& s, double unit) {
    const double v = s.blurPct * unit;
    return std::isfinite(v) && v > 0 ? std::min(v, 2 * maxSigma) : 0.0;
}

double inkMargin(const TextStyle& style, double unit, double canvasHeight) {
    double margin = 2;
    if (style.shadow) {
        margin += 3 * shadowBlur(*style.shadow, unit) + std::fabs(shadowOffset(*style.shadow, unit, canvasHeight));
    }
    return margin;
}

double runAlpha(double fade, const TextPose& pose) {
    const double alpha = fade * pose.opacity;
    // An overshooting curve must not push alpha past 1.
    return std::isfinite(alpha) ? std::clamp(alpha, 0.0, 1.0) : 0.0;
}

std::optional<PosedRun> posed(const RGBAImage& tile, double centerX, double centerY, double boxHeight,
                              const TextPose& pose, double alpha, double unit, int width, int height) {
    const double shift = pose.shiftYShare * boxHeight;
    if (!std::isfinite(pose.scale) || pose.scale == 0 || !std::isfinite(shift)) return std::nullopt;
    PosedRun placed{&tile, {}, pose.scale, centerX, centerY, shift,
                    static_cast<float>(alpha < 1 ? std::pow(alpha, 2.2) : 1.0), {}};
    const double sigma = std::isfinite(pose.blurPct) ? std::min(pose.blurPct * unit, maxSigma) : 0.0;
    if (sigma > 0) {
        const int pad = static_cast<int>(std::ceil(3 * sigma));
        placed.blurred =
            RGBAImage::transparent(tile.x - pad, tile.y - pad, tile.width + 2 * pad, tile.height + 2 * pad);
        for (int y = 0; y < tile.height; ++y) {
            std::copy(tile.row(y), tile.row(y) + 4 * tile.width, placed.blurred.row(y + pad) + 4 * pad);
        }
        GaussianBlur::blur(placed.blurred.pixels.data(), placed.blurred.width, placed.blurred.height, 4, sigma,
                           BlurEdge::transparent);
    }
    const RGBAImage& src = sigma > 0 ? placed.blurred : tile;
    Box box;
    const auto forward = [&](double x, double y) {
        return std::make_pair(placed.centerX + placed.scale * (x - placed.centerX),
                              placed.centerY + placed.scale * (y - placed.centerY) + shift);
    };
    const auto [ax, ay] = forward(src.x, src.y);
    const auto [bx, by] = forward(src.x + src.width, src.y + src.height);
    box.add(std::min(ax, bx), std::min(ay, by), std::max(ax, bx), std::max(ay, by));
    placed.dest = clip(box, 1, 0, 0, width, height);
    if (placed.dest.empty()) return std::nullopt;
    return placed;
}

namespace {

// Bilinear sample of premultiplied pixels, transparent outside.
void sample(const RGBAImage& img, double u, double v, float out[4]) {
    const double fu = u - img.x - 0.5, fv = v - img.y - 0.5;
    const int iu = static_cast<int>(std::floor(fu)), iv = static_cast<int>(std::floor(fv));
    const float tu = static_cast<float>(fu - iu), tv = static_cast<float>(fv - iv);
    out[0] = out[1] = out[2] = out[3] = 0;
    for (int k = 0; k < 4; ++k) {
        const int x = iu + (k & 1), y = iv + (k >> 1);
        if (x < 0 || y < 0 || x >= img.width || y >= img.height) continue;
        const float w = ((k & 1) ? tu : 1 - tu) * ((k >> 1) ? tv : 1 - tv);
        const float* p = img.row(y) + 4 * x;
        for (int c = 0; c < 4; ++c) out[c] += w * p[c];
    }
}

} // namespace

std::shared_ptr<const RGBAImage> composite(const std::vector<PosedRun>& runs, int width, int height) {
    if (runs.empty()) return nullptr;
    Box all;
    for (const auto& l : runs) all.add(l.dest.x, l.dest.y, l.dest.x + l.dest.w, l.dest.y + l.dest.h);
    const PixelRect rect = clip(all, 0, 0, 0, width, height);
    auto out = std::make_shared<RGBAImage>(RGBAImage::transparent(rect.x, rect.y, rect.w, rect.h));
    for (const auto& l : runs) {
        const RGBAImage& src = l.blurred.empty() ? *l.image : l.blurred;
        const bool plain = l.scale == 1 && l.shift == 0;
        for (int y = l.dest.y; y < l.dest.y + l.dest.h; ++y) {
            float* row = out->row(y - rect.y);
            for (int x = l.dest.x; x < l.dest.x + l.dest.w; ++x) {
                float px[4];
                if (plain) {
                    const int sx = x - src.x, sy = y - src.y;
                    if (sx < 0 || sy < 0 || sx >= src.width || sy >= src.height) continue;
                    const float* p = src.row(sy) + 4 * sx;
                    px[0] = p[0], px[1] = p[1], px[2] = p[2], px[3] = p[3];
                } else {
                    const double u = l.centerX + (x + 0.5 - l.centerX) / l.scale;
                    const double v = l.centerY + (y + 0.5 - l.centerY - l.shift) / l.scale;
                    sample(src, u, v, px);
                    // Rounding of the weights must not lift alpha past 1.
                    px[3] = std::min(px[3], 1.0f);
                    for (int c = 0; c < 3; ++c) px[c] = std::clamp(px[c], 0.0f, px[3]);
                }
                if (px[3] <= 0) continue;
                float* d = row + 4 * (x - rect.x);
                const float k = 1 - px[3] * l.alpha;
                for (int c = 0; c < 4; ++c) d[c] = px[c] * l.alpha + d[c] * k;
            }
        }
    }
    return out;
}

} // namespace korvel::TextPainting
