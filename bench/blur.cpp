// The Gaussian blur of pictures and of text tiles, next to OpenCV's float
// Gaussian doing the same work, in one run.
// Usage: bench_blur [repeats]
#include "Adapters/Render/Drawing/Blur.hpp"
#include "Adapters/Render/Drawing/FrameMemory.hpp"
#include "Core/Picture/GaussianBlur.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

using namespace korvel;

namespace {

using Clock = std::chrono::steady_clock;

// The median of `repeats` runs after one to warm up, in milliseconds.
double median(int repeats, const std::function<void()>& body) {
    body();
    std::vector<double> ms;
    for (int i = 0; i < repeats; ++i) {
        const auto start = Clock::now();
        body();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

void fill(float* p, size_t n) {
    uint32_t state = 9;
    for (size_t i = 0; i < n; ++i) {
        state = state * 1664525u + 1013904223u;
        p[i] = static_cast<float>(state >> 8) / 16777216.0f;
    }
}

// The picture road as it was: OpenCV's Gaussian at full size, or on a copy
// shrunk by area and brought back linearly.
void openCVRoad(const cv::Mat& from, cv::Mat& to, double sigma) {
    const int f = sigma > 4 ? static_cast<int>(std::ceil(sigma / 4)) : 1;
    if (f == 1) {
        cv::GaussianBlur(from, to, cv::Size(0, 0), sigma, sigma, cv::BORDER_REPLICATE);
        return;
    }
    cv::Mat small;
    cv::resize(from, small, cv::Size(from.cols / f, from.rows / f), 0, 0, cv::INTER_AREA);
    cv::GaussianBlur(small, small, cv::Size(0, 0), sigma * small.cols / from.cols, sigma * small.rows / from.rows,
                     cv::BORDER_REPLICATE);
    cv::resize(small, to, to.size(), 0, 0, cv::INTER_LINEAR);
}

} // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    // Frame buffers kept between frames, as while a render draws.
    FrameMemory::Use use;
    std::printf("Median of %d runs, milliseconds; OpenCV %s with %d threads\n", repeats, CV_VERSION,
                cv::getNumThreads());

    RGBAImage picture = RGBAImage::blank(0, 0, 1920, 1080);
    fill(picture.pixels.data(), picture.pixels.size());
    cv::Mat from(picture.height, picture.width, CV_32FC4, picture.pixels.data()), to(from.size(), from.type());
    std::vector<float> raw(picture.pixels.begin(), picture.pixels.end()), out(raw.size());
    for (double sigma : {2.0, 4.0, 6.0, 20.0}) {
        const double ours = median(repeats, [&] { RGBAImage blurred = Blur::gaussian(picture, sigma, 1000); });
        const double theirs = median(repeats, [&] { openCVRoad(from, to, sigma); });
        std::printf("picture 1920x1080 RGBA sigma %4.1f: Blur::gaussian %7.2f, OpenCV road %7.2f\n", sigma, ours,
                    theirs);
    }
    // The kernel alone on one thread, against OpenCV's on one thread.
    for (double sigma : {2.0, 4.0}) {
        const auto plan = GaussianBlur::plan(1920, 1080, 4, sigma, sigma, BlurEdge::repeated);
        const double ours = median(repeats, [&] { GaussianBlur::blur(plan, raw.data(), out.data()); });
        const double theirs = median(repeats, [&] {
            cv::GaussianBlur(from, to, cv::Size(0, 0), sigma, sigma, cv::BORDER_REPLICATE);
        });
        std::printf("one thread 1920x1080 RGBA sigma %4.1f: GaussianBlur %7.2f, cv::GaussianBlur %7.2f\n", sigma, ours,
                    theirs);
    }

    // Caption tiles: a shadow's coverage (one channel) and an entering run
    // (four), each padded by three sigmas as the text painters pad them.
    for (int channels : {1, 4}) {
        for (double sigma : {5.0, 10.0, 15.0}) {
            const int pad = static_cast<int>(std::ceil(3 * sigma)), w = 900 + 2 * pad, h = 140 + 2 * pad;
            std::vector<float> tile(static_cast<size_t>(w) * h * channels);
            fill(tile.data(), tile.size());
            std::vector<float> work = tile;
            const double ours = median(repeats, [&] {
                work = tile;
                GaussianBlur::blur(work.data(), w, h, channels, sigma, BlurEdge::transparent);
            });
            cv::Mat m(h, w, CV_32FC(channels), tile.data()), o;
            const double theirs = median(repeats, [&] {
                cv::GaussianBlur(m, o, cv::Size(0, 0), sigma, sigma, cv::BORDER_CONSTANT);
            });
            std::printf("text tile %dx%dx%d sigma %4.1f: GaussianBlur %7.2f, cv::GaussianBlur %7.2f\n", w, h,
                        channels, sigma, ours, theirs);
        }
    }
    return 0;
}
