#include "Core/Audio/DelayEstimator.hpp"

extern "C" {
#include <libavutil/tx.h>
}

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>

namespace korvel::DelayEstimator {

namespace {

constexpr int64_t excerptFrames = 384'000; // 8 s
constexpr int64_t secondFrames = 48'000;

using Complex = AVComplexDouble;

struct TxFree {
    void operator()(AVTXContext* context) const { av_tx_uninit(&context); }
};
using TxContext = std::unique_ptr<AVTXContext, TxFree>;

// libavutil's transforms are fast up to 2^17 points and crawl beyond, so a
// longer transform is split into two passes of shorter ones (four-step).
constexpr int longestDirect = 1 << 17;

class FFT {
public:
    FFT(int64_t size, bool inverse) : size_(size), inverse_(inverse) {
        if (size <= longestDirect) {
            first_ = make(size, run1_);
            rows_ = size;
            columns_ = 1;
            return;
        }
        int bits = 0;
        while ((int64_t{1} << bits) < size) ++bits;
        rows_ = int64_t{1} << (bits / 2);
        columns_ = size / rows_;
        first_ = make(rows_, run1_);
        second_ = make(columns_, run2_);
    }

    bool valid() const { return first_ && (columns_ == 1 || second_); }

    // X[k] = Σ x[n] e^(∓2πi nk / N), unnormalised; the sign is + for the inverse.
    void run(const std::vector<Complex>& in, std::vector<Complex>& out) {
        out.resize(static_cast<size_t>(size_));
        if (columns_ == 1) {
            run1_(first_.get(), out.data(), const_cast<Complex*>(in.data()), sizeof(Complex));
            return;
        }
        const double sign = inverse_ ? 1.0 : -1.0;
        std::vector<Complex> middle(static_cast<size_t>(size_));
        std::vector<Complex> line(static_cast<size_t>(std::max(rows_, columns_)));
        std::vector<Complex> done(line.size());
        // Transforms of length `rows_` down each column, then twiddles.
        for (int64_t c = 0; c < columns_; ++c) {
            for (int64_t r = 0; r < rows_; ++r) line[static_cast<size_t>(r)] = in[static_cast<size_t>(c + columns_ * r)];
            run1_(first_.get(), done.data(), line.data(), sizeof(Complex));
            for (int64_t k = 0; k < rows_; ++k) {
                const double angle = sign * 2.0 * M_PI * static_cast<double>((c * k) % size_) / static_cast<double>(size_);
                const double wr = std::cos(angle), wi = std::sin(angle);
                const Complex v = done[static_cast<size_t>(k)];
                middle[static_cast<size_t>(c * rows_ + k)] = {v.re * wr - v.im * wi, v.re * wi + v.im * wr};
            }
        }
        // Transforms of length `columns_` across.
        for (int64_t k = 0; k < rows_; ++k) {
            for (int64_t c = 0; c < columns_; ++c) line[static_cast<size_t>(c)] = middle[static_cast<size_t>(c * rows_ + k)];
            run2_(second_.get(), done.data(), line.data(), sizeof(Complex));
            for (int64_t c = 0; c < columns_; ++c) out[static_cast<size_t>(k + rows_ * c)] = done[static_cast<size_t>(c)];
        }
    }

private:
    TxContext make(int64_t length, av_tx_fn& run) const {
        AVTXContext* context = nullptr;
        const double scale = 1.0;
        if (av_tx_init(&context, &run, AV_TX_DOUBLE_FFT, inverse_ ? 1 : 0, static_cast<int>(length), &scale,
                       AV_TX_UNALIGNED) < 0)
            return nullptr;
        return TxContext(context);
    }

    int64_t size_;
    bool inverse_;
    int64_t rows_ = 0, columns_ = 0;
    TxContext first_, second_;
    av_tx_fn run1_ = nullptr, run2_ = nullptr;
};

// c[k] = Σ r[i] × d[i + k] for k < lags; empty when no transform can be made.
std::vector<double> crossCorrelation(const std::vector<double>& r, const std::vector<double>& d, int64_t lags) {
    const int64_t n = static_cast<int64_t>(std::max(r.size(), d.size()));
    int64_t size = 1;
    int bits = 0;
    while (size < lags + n) {
        size <<= 1;
        ++bits;
    }
    if (bits > 30) return {};
    FFT forward(size, false), inverse(size, true);
    if (!forward.valid() || !inverse.valid()) return {};

    std::vector<Complex> in(static_cast<size_t>(size), Complex{0.0, 0.0}), R, D, X;
    for (size_t i = 0; i < r.size(); ++i) in[i] = {r[i], 0.0};
    forward.run(in, R);
    std::fill(in.begin(), in.end(), Complex{0.0, 0.0});
    for (size_t i = 0; i < d.size(); ++i) in[i] = {d[i], 0.0};
    forward.run(in, D);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = {R[i].re * D[i].re + R[i].im * D[i].im, R[i].re * D[i].im - R[i].im * D[i].re};
    inverse.run(in, X);
    std::vector<double> c(static_cast<size_t>(lags));
    for (int64_t k = 0; k < lags; ++k) c[static_cast<size_t>(k)] = X[static_cast<size_t>(k)].re / static_cast<double>(size);
    return c;
}

} // namespace

Result estimate(const std::vector<float>& reference, const std::vector<float>& delayed, int64_t maximumLagFrames) {
    const int64_t maxLag = std::max<int64_t>(0, maximumLagFrames);
    const int64_t referenceLength = static_cast<int64_t>(reference.size());
    const int64_t delayedLength = static_cast<int64_t>(delayed.size());

    // The loudest second-aligned 8 s correlate most reliably; one pass gives
    // the energy of every second, and each window sums eight of them.
    int64_t a = 0;
    if (referenceLength > excerptFrames) {
        const int64_t seconds = referenceLength / secondFrames;
        std::vector<double> energy(static_cast<size_t>(seconds), 0.0);
        for (int64_t s = 0; s < seconds; ++s) {
            double sum = 0;
            for (int64_t i = s * secondFrames; i < (s + 1) * secondFrames; ++i) {
                const double v = reference[static_cast<size_t>(i)];
                sum += v * v;
            }
            energy[static_cast<size_t>(s)] = sum;
        }
        constexpr int64_t span = excerptFrames / secondFrames;
        double loudest = -1;
        for (int64_t s = 0; s + span <= seconds; ++s) {
            double sum = 0;
            for (int64_t k = s; k < s + span; ++k) sum += energy[static_cast<size_t>(k)];
            if (sum > loudest) {
                loudest = sum;
                a = s * secondFrames;
            }
        }
    }
    const int64_t end = std::min(a + excerptFrames, referenceLength);
    if (a >= end || a >= delayedLength) return {0, 0};

    std::vector<double> r(reference.begin() + a, reference.begin() + end);
    const int64_t delayedEnd = std::min(end + maxLag, delayedLength);
    std::vector<double> d(delayed.begin() + a, delayed.begin() + delayedEnd);
    double energyR = 0, energyD = 0;
    for (double v : r) energyR += v * v;
    for (double v : d) energyD += v * v;
    if (!(energyR > 0) || !(energyD > 0)) return {0, 0};

    const std::vector<double> c = crossCorrelation(r, d, maxLag + 1);
    if (c.empty()) return {0, 0};
    int64_t lag = 0;
    for (int64_t k = 1; k < static_cast<int64_t>(c.size()); ++k)
        if (std::fabs(c[static_cast<size_t>(k)]) > std::fabs(c[static_cast<size_t>(lag)])) lag = k;
    const double score = std::min(1.0, std::fabs(c[static_cast<size_t>(lag)]) / std::sqrt(energyR * energyD));
    return {lag, score};
}

} // namespace korvel::DelayEstimator
