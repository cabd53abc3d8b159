#include "Adapters/Render/Drawing/Blur.hpp"

#include "Adapters/Render/Drawing/Tiles.hpp"
#include "Core/Picture/Color/ColorMath.hpp"
#include "Core/Picture/Compositing.hpp"
#include "Core/Picture/GaussianBlur.hpp"
#include "Core/Picture/Kernels/Kernels.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace korvel::Blur {

namespace {
bool blurs(double sigma) { return sigma > 0.3; }
bool shrinks(double sigma) { return sigma > 4; }

int factorOf(double sigma) { return shrinks(sigma) ? static_cast<int>(std::ceil(sigma / 4)) : 1; }

// The Gaussian of `from` into `to` of its size (`to` may be `from`), edge
// pixels repeated, its bands on the pool.
void gaussianInto(const cv::Mat& from, cv::Mat& to, double sx, double sy) {
    to.create(from.size(), from.type());
    const GaussianBlur::Plan plan = GaussianBlur::plan(from.cols, from.rows, from.channels(), sx, sy, BlurEdge::repeated);
    FrameBuffers::Floats across = FrameBuffers::take(from.total() * static_cast<size_t>(from.channels()));
    Tiles::rows(0, plan.height, [&](int a, int b) { GaussianBlur::alongRows(plan, from.ptr<float>(), across.data(), a, b); });
    Tiles::rows(0, plan.height, [&](int a, int b) { GaussianBlur::downColumns(plan, across.data(), to.ptr<float>(), a, b); });
    FrameBuffers::keep(std::move(across));
}

// The blur at full size `cols` x `rows` of a picture already shrunk.
void blurReduced(cv::Mat& reduced, int cols, int rows, double sigma) {
    gaussianInto(reduced, reduced, sigma * reduced.cols / cols, sigma * reduced.rows / rows);
}

// A wide Gaussian of a picture is smooth: it is blurred on a copy shrunk so
// that the kernel stays near 4 pixels, and brought back linearly.
cv::Mat reducedBlur(const cv::Mat& m, double sigma) {
    int factor = factorOf(sigma);
    cv::Size small(std::max(1, m.cols / factor), std::max(1, m.rows / factor));
    cv::Mat reduced;
    cv::resize(m, reduced, small, 0, 0, cv::INTER_AREA);
    blurReduced(reduced, m.cols, m.rows, sigma);
    return reduced;
}

// `to` may be `from`.
void blurInto(const cv::Mat& from, cv::Mat& to, double sigma) {
    if (!blurs(sigma)) {
        if (from.data != to.data) from.copyTo(to);
    } else if (!shrinks(sigma)) {
        gaussianInto(from, to, sigma, sigma);
    } else {
        cv::resize(reducedBlur(from, sigma), to, to.size(), 0, 0, cv::INTER_LINEAR);
    }
}

double bounded(double sigma, double limit) {
    if (!std::isfinite(sigma) || sigma < 0) return 0;
    return std::min(sigma, std::max(limit, 0.0));
}

cv::Mat view(const RGBAImage& image) {
    return cv::Mat(image.height, image.width, CV_32FC4, const_cast<float*>(image.pixels.data()));
}
} // namespace

Field::Field(RGBAImage reduced, int width, int height) : reduced_(std::move(reduced)), width_(width), height_(height) {
    // Half-pixel centres, the first and last samples repeated outward: the
    // same taps as OpenCV's linear resize.
    auto taps = [](int from, int to) {
        std::vector<Tap> out(static_cast<size_t>(std::max(to, 0)));
        double scale = static_cast<double>(from) / to;
        for (int d = 0; d < to; ++d) {
            auto f = static_cast<float>((d + 0.5) * scale - 0.5);
            int s = static_cast<int>(std::floor(f));
            f -= static_cast<float>(s);
            if (s < 0) s = 0, f = 0;
            if (s >= from - 1) s = from - 1, f = 0;
            out[static_cast<size_t>(d)] = {s, f};
        }
        return out;
    };
    if (reduced_.empty()) return;
    columns_ = taps(reduced_.width, width);
    rows_ = taps(reduced_.height, height);
}

void Field::at(int x, int y, float out[4]) const { row(y, x, x + 1, out); }

void Field::row(int y, int from, int to, float* out) const {
    const Tap cy = rows_[static_cast<size_t>(y)];
    const float* top = reduced_.row(cy.index);
    const float* bottom = cy.weight != 0 ? reduced_.row(cy.index + 1) : top;
    const float b0 = 1 - cy.weight, b1 = cy.weight;
    for (int x = from; x < to; ++x, out += 4) {
        const Tap cx = columns_[static_cast<size_t>(x)];
        const int nextX = cx.weight != 0 ? 4 : 0;
        const float* t = top + static_cast<size_t>(cx.index) * 4;
        const float* b = bottom + static_cast<size_t>(cx.index) * 4;
        const float a0 = 1 - cx.weight, a1 = cx.weight;
        // In a local, so that the four values are worked out as one vector.
        float v[4];
        for (int c = 0; c < 4; ++c) v[c] = (t[c] * a0 + t[c + nextX] * a1) * b0 + (b[c] * a0 + b[c + nextX] * a1) * b1;
        std::copy_n(v, 4, out);
    }
}

RGBAImage gaussian(const RGBAImage& image, double sigma, double limit) {
    sigma = bounded(sigma, limit);
    if (image.empty() || !blurs(sigma)) return image;
    RGBAImage out = RGBAImage::blank(image.x, image.y, image.width, image.height);
    cv::Mat to = view(out);
    blurInto(view(image), to, sigma);
    return out;
}

Field field(const RGBAImage& image, double sigma, double limit) {
    sigma = bounded(sigma, limit);
    if (image.empty()) return {};
    if (!shrinks(sigma)) return Field(gaussian(image, sigma, limit), image.width, image.height);
    cv::Mat reduced = reducedBlur(view(image), sigma);
    RGBAImage small = RGBAImage::blank(0, 0, reduced.cols, reduced.rows);
    cv::Mat to = view(small);
    reduced.copyTo(to);
    return Field(std::move(small), image.width, image.height);
}

namespace {
// OpenCV's INTER_AREA weights from `from` pixels to `to` along one axis, for
// a scale that is not whole: each shrunk pixel the mean of what it covers,
// source pixels it covers in part weighed by the part. In target order.
struct AreaTap {
    int target, source;
    float weight;
};
std::vector<AreaTap> areaTaps(int from, int to) {
    std::vector<AreaTap> taps;
    const double scale = 1.0 / (static_cast<double>(to) / from);
    for (int d = 0; d < to; ++d) {
        double f1 = d * scale, f2 = f1 + scale, cell = std::min(scale, from - f1);
        int s1 = static_cast<int>(std::ceil(f1)), s2 = static_cast<int>(std::floor(f2));
        s2 = std::min(s2, from - 1);
        s1 = std::min(s1, s2);
        if (s1 - f1 > 1e-3) taps.push_back({d, s1 - 1, static_cast<float>((s1 - f1) / cell)});
        for (int s = s1; s < s2; ++s) taps.push_back({d, s, static_cast<float>(1.0 / cell)});
        if (f2 - s2 > 1e-3) taps.push_back({d, s2, static_cast<float>(std::min(std::min(f2 - s2, 1.0), cell) / cell)});
    }
    return taps;
}

// Canvas row y of the picture over transparent black, as drawing it there
// gives it; the picture covers the columns [x0, x1) of `width`.
void canvasRow(const RGBAImage& picture, int x0, int x1, int y, int width, float* line) {
    std::fill_n(line, static_cast<size_t>(width) * 4, 0.0f);
    if (y < picture.y || y >= picture.y + picture.height || x0 >= x1) return;
    float* d = line + static_cast<size_t>(x0) * 4;
    Kernels::over(d, Compositing::at(picture, x0, y), x1 - x0);
    Kernels::sanitise(d, static_cast<size_t>(x1 - x0) * 4);
}

// The same added into `sums`, f pixels to each of its pixels.
void addCanvasRow(const RGBAImage& picture, int x0, int x1, int y, int f, float* sums) {
    const float* s = Compositing::at(picture, x0, y);
    for (int x = x0; x < x1;) {
        float* q = sums + static_cast<size_t>(x / f) * 4;
        // In a local, so that the four channels add as one vector.
        float sum[4] = {q[0], q[1], q[2], q[3]};
        for (const int end = std::min(x1, (x / f + 1) * f); x < end; ++x, s += 4) {
            const float keep = 0.0f * (1 - s[3]);
            for (int c = 0; c < 4; ++c) {
                float v = s[c] + keep;
                sum[c] += v - v == 0 ? v : 0.0f;
            }
        }
        std::copy_n(sum, 4, q);
    }
}
} // namespace

RGBAImage gaussianOnCanvas(const RGBAImage& picture, int width, int height, double sigma, double limit) {
    sigma = bounded(sigma, limit);
    const int f = factorOf(sigma);
    if (f == 1 || width < f || height < f) {
        RGBAImage canvas = RGBAImage::transparent(0, 0, width, height);
        Tiles::rows(0, height, [&](int from, int to) { Compositing::over(canvas, picture, from, to); });
        return gaussian(canvas, sigma, limit);
    }
    // The shrunk copy as the full-size canvas would give it, each pixel of
    // the canvas the picture over transparent black.
    RGBAImage reduced = RGBAImage::transparent(0, 0, width / f, height / f);
    const int x0 = std::clamp(picture.x, 0, width), x1 = std::clamp(picture.x + picture.width, 0, width);
    auto inside = [&](int y) { return y >= picture.y && y < picture.y + picture.height && x0 < x1; };
    if (width % f == 0 && height % f == 0) {
        // Each pixel the mean of the f x f it stands for.
        const float share = 1.0f / static_cast<float>(f * f);
        Tiles::rows(0, reduced.height, [&](int from, int to) {
            for (int r = from; r < to; ++r) {
                float* o = reduced.row(r);
                for (int j = 0; j < f; ++j)
                    if (inside(r * f + j)) addCanvasRow(picture, x0, x1, r * f + j, f, o);
                for (int i = 0; i < reduced.width * 4; ++i) o[i] *= share;
            }
        });
    } else {
        // Rows weighed along, then the weighted rows summed, as OpenCV sums them.
        const std::vector<AreaTap> across = areaTaps(width, reduced.width), down = areaTaps(height, reduced.height);
        std::vector<size_t> firstDown(static_cast<size_t>(reduced.height) + 1, down.size());
        for (size_t k = down.size(); k-- > 0;) firstDown[static_cast<size_t>(down[k].target)] = k;
        Tiles::rows(0, reduced.height, [&](int from, int to) {
            std::vector<float> line(static_cast<size_t>(width) * 4), sums(static_cast<size_t>(reduced.width) * 4);
            for (int r = from; r < to; ++r) {
                float* o = reduced.row(r);
                bool first = true;
                for (size_t k = firstDown[static_cast<size_t>(r)]; k < down.size() && down[k].target == r; ++k) {
                    const int y = down[k].source;
                    canvasRow(picture, x0, x1, y, width, line.data());
                    std::fill(sums.begin(), sums.end(), 0.0f);
                    for (const AreaTap& t : across) {
                        float* d = sums.data() + static_cast<size_t>(t.target) * 4;
                        const float* v = line.data() + static_cast<size_t>(t.source) * 4;
                        for (int c = 0; c < 4; ++c) d[c] = d[c] + v[c] * t.weight;
                    }
                    const float beta = down[k].weight;
                    for (size_t i = 0; i < sums.size(); ++i) o[i] = first ? sums[i] * beta : o[i] + sums[i] * beta;
                    first = false;
                }
            }
        });
    }
    cv::Mat small = view(reduced);
    blurReduced(small, width, height, sigma);
    RGBAImage out = RGBAImage::blank(0, 0, width, height);
    cv::Mat to = view(out);
    cv::resize(small, to, to.size(), 0, 0, cv::INTER_LINEAR);
    return out;
}

RGBAImage gaussianStretched(const RGBAImage& picture, int left, int top, int right, int bottom, int width, int height,
                            double sigma, double limit) {
    sigma = bounded(sigma, limit);
    left = std::clamp(left, 0, picture.width), right = std::clamp(right, left, picture.width);
    top = std::clamp(top, 0, picture.height), bottom = std::clamp(bottom, top, picture.height);
    if (width <= 0 || height <= 0 || right <= left || bottom <= top) return RGBAImage::transparent(0, 0, width, height);
    cv::Mat part = view(picture)(cv::Rect(left, top, right - left, bottom - top));
    const int f = factorOf(sigma);
    cv::Mat reduced;
    cv::resize(part, reduced, cv::Size(std::max(1, width / f), std::max(1, height / f)), 0, 0, cv::INTER_AREA);
    RGBAImage out = RGBAImage::blank(0, 0, width, height);
    cv::Mat to = view(out);
    if (f == 1) {
        blurInto(reduced, to, sigma);
        return out;
    }
    blurReduced(reduced, width, height, sigma);
    cv::resize(reduced, to, to.size(), 0, 0, cv::INTER_LINEAR);
    return out;
}

int reduction(double sigma, double limit) { return factorOf(bounded(sigma, limit)); }

Field reducedField(RGBAImage reduced, int width, int height, double sigma, double limit) {
    sigma = bounded(sigma, limit);
    if (reduced.empty()) return {};
    if (!shrinks(sigma)) return field(reduced, sigma, limit);
    cv::Mat m = view(reduced);
    blurReduced(m, width, height, sigma);
    return Field(std::move(reduced), width, height);
}

std::vector<float> gaussian(const std::vector<float>& plane, int width, int height, double sigma, double limit) {
    sigma = bounded(sigma, limit);
    if (width <= 0 || height <= 0 || !blurs(sigma)) return plane;
    std::vector<float> out(plane.size());
    cv::Mat to(height, width, CV_32FC1, out.data());
    blurInto(cv::Mat(height, width, CV_32FC1, const_cast<float*>(plane.data())), to, sigma);
    return out;
}

namespace {
void erode(cv::Mat& m, double radius) {
    int r = static_cast<int>(std::lround(std::min(radius, 256.0)));
    cv::Mat kernel = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * r + 1, 2 * r + 1));
    cv::erode(m, m, kernel, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
}
} // namespace

RGBAImage eroded(const RGBAImage& image, double radius) {
    RGBAImage out = image;
    if (out.empty() || !(radius >= 0.5)) return out;
    cv::Mat m(out.height, out.width, CV_32FC4, out.pixels.data());
    erode(m, radius);
    return out;
}

std::vector<float> eroded(const std::vector<float>& plane, int width, int height, double radius) {
    std::vector<float> out = plane;
    if (width <= 0 || height <= 0 || !(radius >= 0.5)) return out;
    cv::Mat m(height, width, CV_32FC1, out.data());
    erode(m, radius);
    return out;
}

} // namespace korvel::Blur
