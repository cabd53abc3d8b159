#include "Core/Speech/WordCloser.hpp"

#include "Core/Analysis/SilenceDetector.hpp"

#include <algorithm>
#include <limits>

namespace korvel {

namespace {
constexpr int64_t frameUs = 10'000;
constexpr int64_t takeGapUs = 1'500'000;
constexpr int64_t maskMarginUs = 350'000;
constexpr int64_t phantomLookUs = 200'000;
constexpr int64_t longWordFrames = 100;
constexpr double longWordVoicedShare = 0.05;
constexpr int64_t shortWordVoicedFrames = 8;
constexpr int64_t burstGapFrames = 25;
constexpr int64_t startReachUs = 120'000;

struct FrameSpan {
    int64_t first;
    int64_t end;
};

FrameSpan framesOf(int64_t startUs, int64_t endUs, int64_t count) {
    return {startUs / frameUs, std::min((endUs + frameUs - 1) / frameUs, count)};
}

template <class Voiced>
int64_t voicedIn(FrameSpan span, Voiced voiced) {
    int64_t n = 0;
    for (int64_t i = span.first; i < span.end; ++i)
        if (voiced(i)) ++n;
    return n;
}

std::vector<RawWord> removingOverlaps(std::span<const RawWord> input) {
    std::vector<RawWord> words(input.begin(), input.end());
    std::stable_sort(words.begin(), words.end(), [](const RawWord& a, const RawWord& b) { return a.startUs < b.startUs; });
    for (size_t i = 1; i < words.size(); ++i) {
        RawWord& before = words[i - 1];
        RawWord& word = words[i];
        if (word.startUs >= before.endUs) continue;
        const int64_t mid = (word.startUs + before.endUs) / 2;
        before.endUs = std::max(before.startUs, mid);
        word.startUs = mid;
        word.endUs = std::max(word.endUs, mid);
    }
    return words;
}
} // namespace

bool VoicedFrames::contains(int64_t frame) const {
    return frame >= 0 && frame < static_cast<int64_t>(levels.size()) && levels[static_cast<size_t>(frame)] >= thresholdDb;
}

namespace WordCloser {

std::vector<RawWord> withoutPhantoms(std::span<const RawWord> words, std::span<const double> levels, bool shortWordsToo) {
    const auto count = static_cast<int64_t>(levels.size());
    const int64_t durationUs = count * frameUs;
    const SilenceMeasurementValues measurement = SilenceDetector::analyze(levels, durationUs).measurement;
    if (measurement.lowSeparation) return {words.begin(), words.end()};
    auto voiced = [&](int64_t i) { return i >= 0 && i < count && levels[static_cast<size_t>(i)] >= measurement.thresholdDb; };

    std::vector<RawWord> kept;
    for (size_t i = 0; i < words.size(); ++i) {
        const RawWord& word = words[i];
        const FrameSpan own = framesOf(word.startUs, word.endUs, count);
        const int64_t length = own.end - own.first;
        if (length >= longWordFrames && double(voicedIn(own, voiced)) / double(length) < longWordVoicedShare) continue;
        if (shortWordsToo) {
            const int64_t previousEnd = i == 0 ? 0 : words[i - 1].endUs;
            const int64_t nextStart = i + 1 == words.size() ? durationUs : words[i + 1].startUs;
            const FrameSpan around = framesOf(std::max(previousEnd, word.startUs - phantomLookUs),
                                              std::min(nextStart, word.endUs + phantomLookUs), count);
            if (around.end > around.first && voicedIn(around, voiced) < shortWordVoicedFrames) continue;
        }
        kept.push_back(word);
    }
    return kept;
}

std::vector<IntRange> takes(std::span<const RawWord> words) {
    std::vector<IntRange> ranges;
    const auto count = static_cast<int64_t>(words.size());
    int64_t begin = 0;
    for (int64_t i = 1; i < count; ++i) {
        if (words[i].startUs - words[i - 1].endUs > takeGapUs) {
            ranges.push_back({begin, i});
            begin = i;
        }
    }
    if (count > 0) ranges.push_back({begin, count});
    return ranges;
}

VoicedFrames voicedMask(std::span<const double> levels, IntRange take, std::span<const RawWord> words) {
    VoicedFrames mask{{levels.begin(), levels.end()}, std::numeric_limits<double>::infinity()};
    if (take.upper <= take.lower) return mask;
    const auto count = static_cast<int64_t>(levels.size());
    const int64_t first = std::max<int64_t>(0, words[take.lower].startUs - maskMarginUs) / frameUs;
    const int64_t end = std::min((words[take.upper - 1].endUs + maskMarginUs) / frameUs + 1, count);
    if (end <= first) return mask;
    std::vector<double> sorted(levels.begin() + first, levels.begin() + end);
    std::sort(sorted.begin(), sorted.end());
    const double p10 = SilenceDetector::percentile(sorted, 0.1);
    const double p90 = SilenceDetector::percentile(sorted, 0.9);
    mask.thresholdDb = std::max(std::min(p90 - 6, p10 + voicedAboveFloorDb), p10 + 6);
    return mask;
}

std::vector<RawWord> close(std::span<const RawWord> input, std::span<const double> levels) {
    if (input.empty() || levels.empty()) return {input.begin(), input.end()};
    const std::vector<RawWord> sorted = removingOverlaps(input);
    std::vector<RawWord> words = sorted;
    const auto count = static_cast<int64_t>(levels.size());
    for (const IntRange& take : takes(sorted)) {
        const VoicedFrames mask = voicedMask(levels, take, sorted);
        for (int64_t j = take.lower; j < take.upper; ++j) {
            RawWord& word = words[static_cast<size_t>(j)];
            const int64_t previousEnd = j == 0 ? 0 : words[static_cast<size_t>(j - 1)].endUs;
            const int64_t nextStart = j + 1 < static_cast<int64_t>(sorted.size())
                                          ? sorted[static_cast<size_t>(j + 1)].startUs
                                          : std::numeric_limits<int64_t>::max();

            // Bursts of voice inside the word; the one with most voiced frames wins.
            const FrameSpan span = framesOf(word.startUs, word.endUs, count);
            int64_t bestFirst = -1, bestEnd = -1, bestCount = 0;
            int64_t runFirst = -1, runLast = -1, runCount = 0;
            for (int64_t f = span.first; f < span.end; ++f) {
                if (!mask.contains(f)) continue;
                if (runCount > 0 && f - runLast > burstGapFrames) {
                    if (runCount > bestCount) bestFirst = runFirst, bestEnd = runLast + 1, bestCount = runCount;
                    runCount = 0;
                }
                if (runCount == 0) runFirst = f;
                runLast = f;
                ++runCount;
            }
            if (runCount > bestCount) bestFirst = runFirst, bestEnd = runLast + 1, bestCount = runCount;
            if (bestCount == 0) continue;

            int64_t u = bestFirst * frameUs;
            const int64_t reach = std::max(previousEnd, word.startUs - startReachUs);
            while (u - frameUs >= reach && mask.contains(u / frameUs - 1)) u -= frameUs;
            int64_t o = bestEnd * frameUs;
            while (o < nextStart && mask.contains(o / frameUs)) o += frameUs;
            word.startUs = std::max(u, previousEnd);
            word.endUs = std::max(std::min(nextStart, o), word.startUs);
        }
    }
    return words;
}

} // namespace WordCloser

} // namespace korvel
