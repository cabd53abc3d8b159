#include "Adapters/Render/Drawing/Placement.hpp"

#include "Adapters/Render/Drawing/Tiles.hpp"
#include "Core/Picture/Bilinear.hpp"
#include "Core/Picture/Compositing.hpp"
#include "Core/Picture/Kernels/Kernels.hpp"
#include "Core/Picture/Kernels/ResampleKernels.hpp"
#include "Core/Picture/Lanczos.hpp"

#include <algorithm>
#include <array>
#include <deque>
#include <memory>
#include <utility>
#include <vector>
#include <cmath>

namespace korvel {

namespace {
int64_t nearest(double v) { return static_cast<int64_t>(std::llround(v)); }

struct PixelBox {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool empty() const { return x1 <= x0 || y1 <= y0; }
};

// A rectangle in whole pixels, inside the canvas. A rectangle without area
// (or not a number) covers nothing.
PixelBox pixels(const render::Rect& r, const render::RenderCanvas& canvas) {
    if (!(r.width > 0) || !(r.height > 0) || !std::isfinite(r.x) || !std::isfinite(r.y) ||
        !std::isfinite(r.width) || !std::isfinite(r.height)) {
        return {};
    }
    auto clampTo = [](double v, double hi) { return static_cast<int>(std::clamp(std::round(v), 0.0, hi)); };
    PixelBox b{clampTo(r.x, canvas.width), clampTo(r.y, canvas.height), clampTo(r.maxX(), canvas.width),
               clampTo(r.maxY(), canvas.height)};
    return b;
}
// The taps of a drawing depend only on its geometry, which stays the same
// frame after frame: the last few of this thread are kept, one list per kind
// of drawing. Shared, since this thread may take up other drawings while it
// waits for the bands.
struct PlanKey {
    std::array<double, 4> affine;
    std::array<int, 10> boxes;
    bool clampEdges;
    bool operator==(const PlanKey&) const = default;
};
using KeptPlans = std::deque<std::pair<PlanKey, std::shared_ptr<const Lanczos::Plan>>>;

template <class Make>
std::shared_ptr<const Lanczos::Plan> keptPlan(KeptPlans& kept, const PlanKey& key, Make make) {
    for (const auto& [k, plan] : kept)
        if (k == key) return plan;
    constexpr size_t keep = 4;
    if (kept.size() == keep) kept.pop_back();
    kept.emplace_front(key, make());
    return kept.front().second;
}

std::shared_ptr<const Lanczos::Plan> planned(const RGBAImage& picture, double sx, double sy, double tx, double ty,
                                             bool clampEdges, const RGBAImage& out) {
    thread_local KeptPlans kept;
    PlanKey key{{sx, sy, tx, ty},
                {picture.x, picture.y, picture.width, picture.height, out.x, out.y, out.width, out.height, 0, 0},
                clampEdges};
    return keptPlan(kept, key, [&] {
        return std::make_shared<const Lanczos::Plan>(Lanczos::plan(picture, sx, sy, tx, ty, clampEdges, out));
    });
}

// The taps of `outer` (over a picture of `middle` samples) applied to those
// of `inner` (over one of `size`): the two resamplings as one, edge samples
// repeated as the draws repeat them. The first taps only grow, as the
// drawing expects.
Lanczos::Plan::Axis composed(const Lanczos::Plan::Axis& outer, int middle, const Lanczos::Plan::Axis& inner, int size) {
    const size_t count = outer.first.size();
    Lanczos::Plan::Axis a;
    a.first.assign(count, 0);
    std::vector<int> last(count, 0);
    auto each = [&](size_t o, auto&& use) {
        for (int t = 0; t < outer.taps; ++t) {
            float w2 = outer.weights[o * static_cast<size_t>(outer.taps) + static_cast<size_t>(t)];
            if (w2 == 0) continue;
            const size_t j = static_cast<size_t>(std::clamp(outer.first[o] + t, 0, middle - 1));
            for (int u = 0; u < inner.taps; ++u) {
                float w1 = inner.weights[j * static_cast<size_t>(inner.taps) + static_cast<size_t>(u)];
                if (w1 != 0) use(std::clamp(inner.first[j] + u, 0, size - 1), static_cast<double>(w2) * w1);
            }
        }
    };
    for (size_t o = 0; o < count; ++o) {
        int lo = size, hi = -1;
        each(o, [&](int k, double) { lo = std::min(lo, k), hi = std::max(hi, k); });
        if (hi < lo) lo = hi = o > 0 ? a.first[o - 1] : 0;
        a.first[o] = lo;
        last[o] = hi;
    }
    for (size_t o = count; o-- > 1;) a.first[o - 1] = std::min(a.first[o - 1], a.first[o]);
    for (size_t o = 0; o < count; ++o) a.taps = std::max(a.taps, last[o] - a.first[o] + 1);
    a.weights.assign(count * static_cast<size_t>(a.taps), 0.0f);
    std::vector<double> sum(static_cast<size_t>(a.taps));
    for (size_t o = 0; o < count; ++o) {
        std::fill(sum.begin(), sum.end(), 0.0);
        each(o, [&](int k, double w) { sum[static_cast<size_t>(k - a.first[o])] += w; });
        for (int t = 0; t < a.taps; ++t)
            a.weights[o * static_cast<size_t>(a.taps) + static_cast<size_t>(t)] = static_cast<float>(sum[static_cast<size_t>(t)]);
    }
    a.grouped = Kernels::groupedWeights(a.weights.data(), a.taps, static_cast<int>(count));
    return a;
}

// The plan of a picture stretched to width x height and then drawn, kept
// like the others.
std::shared_ptr<const Lanczos::Plan> plannedStretched(const RGBAImage& picture, int width, int height, double s,
                                                      double tx, double ty, bool clampEdges, const RGBAImage& out) {
    thread_local KeptPlans kept;
    PlanKey key{{s, tx, ty, 0},
                {picture.x, picture.y, picture.width, picture.height, width, height, out.x, out.y, out.width, out.height},
                clampEdges};
    return keptPlan(kept, key, [&] {
        // Only the geometry of the middle picture matters: it is never drawn.
        RGBAImage middle;
        middle.width = width;
        middle.height = height;
        const double sx = static_cast<double>(width) / picture.width, sy = static_cast<double>(height) / picture.height;
        Lanczos::Plan inner = Lanczos::plan(picture, sx, sy, -sx * picture.x, -sy * picture.y, true, middle);
        Lanczos::Plan outer = Lanczos::plan(middle, s, s, tx, ty, clampEdges, out);
        auto plan = std::make_shared<Lanczos::Plan>();
        plan->clampEdges = true;
        plan->columns = composed(outer.columns, width, inner.columns, picture.width);
        plan->rows = composed(outer.rows, height, inner.rows, picture.height);
        return std::shared_ptr<const Lanczos::Plan>(std::move(plan));
    });
}

// Where `contained` puts a picture of ew x eh at (x, y) into the rectangle.
struct Containment {
    double s, tx, ty;
    render::Rect inside;
};

Containment containment(double x, double y, double ew, double eh, const render::Rect& r) {
    double s = std::min(r.height / eh, r.width / ew);
    double tx = r.midX() - s * (x + ew / 2);
    double ty = r.midY() - s * (y + eh / 2);
    // Only the picture's own scaled extent carries anything.
    render::Rect extent{tx + s * x, ty + s * y, s * ew, s * eh};
    render::Rect inside{std::max(extent.x, r.x), std::max(extent.y, r.y), 0, 0};
    inside.width = std::min(extent.maxX(), r.maxX()) - inside.x;
    inside.height = std::min(extent.maxY(), r.maxY()) - inside.y;
    return {s, tx, ty, inside};
}

// The picture over the backdrop over a transparent canvas, a row at a time:
// each row is cleared just before it is drawn on, while it is in the cache.
RGBAImage overBackdrop(const render::RenderCanvas& canvas, const RGBAImage& backdrop, const RGBAImage& placed) {
    RGBAImage out = RGBAImage::blank(0, 0, canvas.pixelWidth(), canvas.pixelHeight());
    Tiles::rows(0, out.height, [&](int from, int to) {
        for (int y = from; y < to; ++y) {
            std::fill_n(out.row(y), static_cast<size_t>(out.width) * 4, 0.0f);
            Compositing::over(out, backdrop, y, y + 1);
            Compositing::over(out, placed, y, y + 1);
        }
    });
    return out;
}
} // namespace

RGBAImage Placement::drawnStretched(const RGBAImage& picture, int width, int height, double s, double tx, double ty,
                                    const render::Rect& rect, bool clampEdges, bool tolerant) const {
    PixelBox box = pixels(rect, canvas);
    if (box.empty() || picture.empty() || width <= 0 || height <= 0 || !(s > 0) || !std::isfinite(s)) return RGBAImage{};
    const bool same = tolerant && std::fabs(s - 1) < 0.0005;
    const bool resized = picture.width != width || picture.height != height || picture.x != 0 || picture.y != 0;
    // The scalar references, copies and enlargements take the two steps.
    if (Kernels::references() || same || s >= 1 || !resized) {
        return drawn(stretched(picture, width, height), s, tx, ty, rect, clampEdges, tolerant);
    }
    RGBAImage out = RGBAImage::blank(box.x0, box.y0, box.x1 - box.x0, box.y1 - box.y0);
    std::shared_ptr<const Lanczos::Plan> plan = plannedStretched(picture, width, height, s, tx, ty, clampEdges, out);
    Tiles::rows(out.y, out.y + out.height, [&](int from, int to) { Lanczos::draw(*plan, picture, out, from, to); });
    return out;
}

RGBAImage Placement::fittedStretched(const RGBAImage& picture, int width, int height, const SourceWindow& window) const {
    double s = canvas.width / window.width;
    return drawnStretched(picture, width, height, s, -window.x * s, -window.y * s, canvas.rect, true, true);
}

RGBAImage Placement::placedExactlyStretched(const RGBAImage& picture, int width, int height, const SourceWindow& window,
                                            const RGBAImage& backdrop) const {
    double s = canvas.width / window.width;
    render::Rect target{-window.x * s, -window.y * s, s * width, s * height};
    Containment c = containment(0, 0, width, height, target);
    RGBAImage placed = width > 0 && height > 0 && !picture.empty()
                           ? drawnStretched(picture, width, height, c.s, c.tx, c.ty, c.inside, false, false)
                           : RGBAImage{};
    return overBackdrop(canvas, backdrop, placed);
}

RGBAImage Placement::drawn(const RGBAImage& picture, double s, double tx, double ty, const render::Rect& rect,
                           bool clampEdges, bool tolerant, const Then& then) const {
    PixelBox box = pixels(rect, canvas);
    if (box.empty() || picture.empty() || !(s > 0) || !std::isfinite(s)) return RGBAImage{};
    bool same = tolerant && std::fabs(s - 1) < 0.0005;
    if (same) s = 1;
    const bool copies = same && tx == std::round(tx) && ty == std::round(ty);
    // Every pixel is written below, missed ones as transparent.
    RGBAImage out = RGBAImage::blank(box.x0, box.y0, box.x1 - box.x0, box.y1 - box.y0);
    if (copies) {
        // Whole-pixel moves copy, row by row.
        const int dx = static_cast<int>(tx), dy = static_cast<int>(ty);
        const int left = out.x, right = out.x + out.width;
        const int in0 = std::clamp(dx + picture.x, left, right), in1 = std::clamp(dx + picture.x + picture.width, left, right);
        auto band = [&](int from, int to) {
            for (int y = from; y < to; ++y) {
                float* d = out.row(y - out.y);
                int sy = y - dy - picture.y;
                if (clampEdges) sy = std::clamp(sy, 0, picture.height - 1);
                if (sy < 0 || sy >= picture.height) {
                    std::fill_n(d, static_cast<size_t>(out.width) * 4, 0.0f);
                    continue;
                }
                const float* srow = picture.row(sy);
                const float* first = srow;
                const float* last = srow + static_cast<size_t>(picture.width - 1) * 4;
                for (int x = left; x < in0; ++x, d += 4) {
                    if (clampEdges) std::copy_n(first, 4, d);
                    else std::fill_n(d, 4, 0.0f);
                }
                const size_t inside = static_cast<size_t>(in1 - in0) * 4;
                if (inside > 0) std::copy_n(srow + static_cast<size_t>(in0 - dx - picture.x) * 4, inside, d);
                d += inside;
                for (int x = in1; x < right; ++x, d += 4) {
                    if (clampEdges) std::copy_n(last, 4, d);
                    else std::fill_n(d, 4, 0.0f);
                }
            }
        };
        Tiles::rows(out.y, out.y + out.height, [&](int from, int to) {
            band(from, to);
            if (then) then(out, from, to);
        });
        return out;
    }
    if (s < 1) {
        std::shared_ptr<const Lanczos::Plan> plan = planned(picture, s, s, tx, ty, clampEdges, out);
        Tiles::rows(out.y, out.y + out.height, [&](int from, int to) {
            Lanczos::draw(*plan, picture, out, from, to);
            if (then) then(out, from, to);
        });
    } else {
        Tiles::rows(out.y, out.y + out.height, [&](int from, int to) {
            Bilinear::draw(picture, s, tx, ty, clampEdges, out, from, to);
            if (then) then(out, from, to);
        });
    }
    return out;
}

RGBAImage Placement::fitted(const RGBAImage& picture, const SourceWindow& window, const Then& then) const {
    double s = canvas.width / window.width;
    return drawn(picture, s, -window.x * s, -window.y * s, canvas.rect, true, true, then);
}

std::optional<RGBAImage> Placement::fittedShrunk(const RowReader& row, int width, int height, const SourceWindow& window,
                                                 const Then& then) const {
    // As `fitted` and `drawn` decide it.
    const double s = canvas.width / window.width, tx = -window.x * s, ty = -window.y * s;
    const PixelBox box = pixels(canvas.rect, canvas);
    if (box.empty() || width <= 0 || height <= 0 || !(s > 0) || !std::isfinite(s)) return std::nullopt;
    if (std::fabs(s - 1) < 0.0005 || !(s < 1)) return std::nullopt;
    RGBAImage picture; // its geometry only
    picture.width = width;
    picture.height = height;
    RGBAImage out = RGBAImage::blank(box.x0, box.y0, box.x1 - box.x0, box.y1 - box.y0);
    std::shared_ptr<const Lanczos::Plan> plan = planned(picture, s, s, tx, ty, true, out);
    const size_t rowFloats = static_cast<size_t>(width) * 4;
    // Bands taller than the drawing's usual ones: the source rows two bands
    // share are read by both, and fewer bands read fewer of them twice.
    Tiles::bands(out.y, out.y + out.height, 64, [&](int from, int to) {
        Lanczos::Rows rows{nullptr, 0, width, height};
        FrameBuffers::Floats band;
        if (auto read = Lanczos::rowsRead(*plan, height, out, from, to)) {
            const auto [first, last] = *read;
            band = FrameBuffers::take(static_cast<size_t>(last - first + 1) * rowFloats);
            for (int y = first; y <= last; ++y) row(y, band.data() + static_cast<size_t>(y - first) * rowFloats);
            rows.base = band.data();
            rows.first = first;
        }
        Lanczos::draw(*plan, rows, out, from, to);
        if (!band.empty()) FrameBuffers::keep(std::move(band));
        if (then) then(out, from, to);
    });
    return out;
}

bool Placement::fitsAsIs(int width, int height, const SourceWindow& window) const {
    // As `fitted` and `drawn` decide it: the copy of whole rows, moved by nothing.
    const double s = canvas.width / window.width;
    const bool same = std::fabs(s - 1) < 0.0005;
    const PixelBox box = pixels(canvas.rect, canvas);
    return same && -window.x * s == 0 && -window.y * s == 0 && box.x0 == 0 && box.y0 == 0 && box.x1 == width &&
           box.y1 == height;
}

RGBAImage Placement::placedExactly(const RGBAImage& picture, const SourceWindow& window,
                                   const RGBAImage& backdrop) const {
    double s = canvas.width / window.width;
    render::Rect target{-window.x * s, -window.y * s, s * picture.width, s * picture.height};
    RGBAImage placed = contained(picture, target);
    return overBackdrop(canvas, backdrop, placed);
}

RGBAImage Placement::covered(const RGBAImage& picture, const render::Rect& r) const {
    if (picture.empty()) return RGBAImage{};
    double ew = picture.width, eh = picture.height;
    double s = std::max(r.width / ew, r.height / eh);
    double tx = r.midX() - s * (picture.x + ew / 2);
    double ty = r.midY() - s * (picture.y + eh / 2);
    return drawn(picture, s, tx, ty, r, true, true);
}

RGBAImage Placement::contained(const RGBAImage& picture, const render::Rect& r) const {
    if (picture.empty()) return RGBAImage{};
    Containment c = containment(picture.x, picture.y, picture.width, picture.height, r);
    return drawn(picture, c.s, c.tx, c.ty, c.inside, false, false);
}

RGBAImage Placement::stretched(const RGBAImage& picture, int width, int height) {
    if (picture.empty() || width <= 0 || height <= 0) return RGBAImage{};
    if (picture.width == width && picture.height == height && picture.x == 0 && picture.y == 0) return picture;
    RGBAImage out = RGBAImage::blank(0, 0, width, height);
    double sx = static_cast<double>(width) / picture.width, sy = static_cast<double>(height) / picture.height;
    std::shared_ptr<const Lanczos::Plan> plan = planned(picture, sx, sy, -sx * picture.x, -sy * picture.y, true, out);
    Tiles::rows(0, height, [&](int from, int to) { Lanczos::draw(*plan, picture, out, from, to); });
    return out;
}

RGBAImage Placement::part(const RGBAImage& picture, const NormalizedRect& w) {
    const double W = picture.width, H = picture.height;
    auto n = [](double v) { return std::isfinite(v) ? nearest(v) : 0; };
    int64_t left = n(w.x * W), right = n((w.x + w.w) * W), top = n(w.y * H), bottom = n((w.y + w.h) * H);
    int64_t width = std::max<int64_t>(right - left, 1), height = std::max<int64_t>(bottom - top, 1);
    // The crop keeps what of it lies on the picture.
    int64_t x0 = std::clamp<int64_t>(left, 0, picture.width), y0 = std::clamp<int64_t>(top, 0, picture.height);
    int64_t x1 = std::clamp<int64_t>(left + width, 0, picture.width), y1 = std::clamp<int64_t>(top + height, 0, picture.height);
    if (x1 <= x0 || y1 <= y0) return RGBAImage::transparent(0, 0, 1, 1);
    RGBAImage out = RGBAImage::transparent(0, 0, static_cast<int>(x1 - x0), static_cast<int>(y1 - y0));
    for (int64_t y = y0; y < y1; ++y) {
        std::copy_n(picture.row(static_cast<int>(y)) + x0 * 4, (x1 - x0) * 4, out.row(static_cast<int>(y - y0)));
    }
    return out;
}

} // namespace korvel
