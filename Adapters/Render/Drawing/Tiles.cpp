#include "Adapters/Render/Drawing/Tiles.hpp"

#include <algorithm>

#include <tbb/blocked_range2d.h>
#include <tbb/parallel_for.h>

namespace korvel::Tiles {

namespace {
constexpr int bandRows = 32;
constexpr int tileColumns = 256;
} // namespace

void rows(int from, int to, const std::function<void(int, int)>& body) {
    if (from >= to) return;
    tbb::parallel_for(tbb::blocked_range<int>(from, to, bandRows),
                      [&](const tbb::blocked_range<int>& r) { body(r.begin(), r.end()); });
}

void bands(int from, int to, int height, const std::function<void(int, int)>& body) {
    if (from >= to) return;
    height = std::max(height, 1);
    const int count = (to - from + height - 1) / height;
    tbb::parallel_for(0, count, [&](int b) { body(from + b * height, std::min(to, from + (b + 1) * height)); });
}

void run(RGBAImage& image, const PixelChain& chain, PixelDomain out) {
    if ((chain.empty() && out == PixelDomain::linearPremultiplied) || image.empty()) return;
    tbb::parallel_for(tbb::blocked_range2d<int>(0, image.height, 16, 0, image.width, tileColumns),
                      [&](const tbb::blocked_range2d<int>& r) {
                          int n = r.cols().end() - r.cols().begin();
                          for (int y = r.rows().begin(); y < r.rows().end(); ++y) {
                              float* p = image.row(y) + static_cast<size_t>(r.cols().begin()) * 4;
                              chain.run(p, n, image.x + r.cols().begin(), image.y + y, out);
                          }
                      });
}

void runRows(RGBAImage& image, const PixelChain& chain, int from, int to, PixelDomain out, PixelDomain in) {
    if ((chain.empty() && out == in) || image.empty()) return;
    for (int y = std::max(from, image.y); y < std::min(to, image.y + image.height); ++y) {
        float* row = image.row(y - image.y);
        for (int x = 0; x < image.width; x += tileColumns) {
            chain.run(row + static_cast<size_t>(x) * 4, std::min(tileColumns, image.width - x), image.x + x, y, out, in);
        }
    }
}

} // namespace korvel::Tiles
