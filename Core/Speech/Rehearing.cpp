#include "Core/Speech/Rehearing.hpp"

#include "Core/Speech/Characters.hpp"

#include <algorithm>

namespace korvel {

namespace {
using Placement = CTCAligner::Placement;

std::string letters(const std::string& text) {
    std::string kept;
    for (const std::string& c : Characters::split(Characters::lowercased(text)))
        if (Characters::isLetter(c) || Characters::isNumber(c)) kept += c;
    return kept;
}

std::vector<std::string> spokenLetters(std::span<const RawWord> words) {
    std::vector<std::string> result;
    for (const RawWord& word : words)
        if (std::string l = letters(word.text); !l.empty()) result.push_back(std::move(l));
    return result;
}

size_t spoken(std::span<const RawWord> words) { return spokenLetters(words).size(); }

bool isAnchor(const Placement& p, size_t i) { return p.placed[i] && p.letterLogProbability[i].has_value(); }

int64_t borneOut(const Placement& p, IntRange range) {
    int64_t n = 0;
    for (int64_t i = range.lower; i < range.upper; ++i)
        if (isAnchor(p, static_cast<size_t>(i))) ++n;
    return n;
}

int64_t longestVoice(std::span<const IntRange> voice, IntRange span) {
    int64_t longest = 0;
    for (const IntRange& v : voice) longest = std::max(longest, std::min(v.upper, span.upper) - std::max(v.lower, span.lower));
    return longest;
}

std::vector<Rehearing::Stretch> merged(std::vector<Rehearing::Stretch> stretches) {
    std::stable_sort(stretches.begin(), stretches.end(),
                     [](const auto& a, const auto& b) { return a.words.lower < b.words.lower; });
    std::vector<Rehearing::Stretch> kept;
    for (const Rehearing::Stretch& s : stretches) {
        if (!kept.empty() && (s.span.overlaps(kept.back().span) || s.words.overlaps(kept.back().words))) {
            Rehearing::Stretch& last = kept.back();
            last.span = {std::min(last.span.lower, s.span.lower), std::max(last.span.upper, s.span.upper)};
            last.words = {std::min(last.words.lower, s.words.lower), std::max(last.words.upper, s.words.upper)};
            last.lostUs += s.lostUs;
        } else {
            kept.push_back(s);
        }
    }
    return kept;
}

// The heard tokens that belong to the stretch; a token at either edge that
// repeats the neighbouring word where that word already stands is dropped.
std::vector<RawWord> inside(std::vector<RawWord> tokens, IntRange span, const RawWord* before, const RawWord* after) {
    std::vector<RawWord> kept;
    for (RawWord& token : tokens)
        if (span.contains((token.startUs + token.endUs) / 2)) kept.push_back(std::move(token));
    if (before && !kept.empty() && letters(kept.front().text) == letters(before->text) &&
        before->endUs + Rehearing::edgeToleranceUs >= kept.front().startUs)
        kept.erase(kept.begin());
    if (after && !kept.empty() && letters(kept.back().text) == letters(after->text) &&
        kept.back().endUs >= after->startUs - Rehearing::edgeToleranceUs)
        kept.pop_back();
    return kept;
}

template <class T>
void replace(std::vector<T>& list, IntRange range, const std::vector<T>& with) {
    auto first = list.begin() + range.lower;
    list.insert(list.erase(first, list.begin() + range.upper), with.begin(), with.end());
}
} // namespace

Rehearing::Rehearing(Transcriber& transcriber, CTCAligner aligner) : transcriber(transcriber), aligner(std::move(aligner)) {}

IntRange Rehearing::window(IntRange span, int64_t durationUs, int64_t contextUs) {
    return {std::max<int64_t>(0, span.lower - contextUs), std::min(span.upper + contextUs, durationUs)};
}

std::vector<Rehearing::Stretch> Rehearing::stretches(const Placement& placement, std::span<const IntRange> voice,
                                                     int64_t durationUs) {
    const auto& words = placement.words;
    const auto n = static_cast<int64_t>(words.size());
    std::vector<int64_t> boundaries{-1};
    for (int64_t i = 0; i < n; ++i)
        if (isAnchor(placement, static_cast<size_t>(i))) boundaries.push_back(i);
    boundaries.push_back(n);

    auto endOf = [&](int64_t i) { return i < 0 ? 0 : words[static_cast<size_t>(i)].endUs; };
    auto startOf = [&](int64_t i) { return i >= n ? durationUs : words[static_cast<size_t>(i)].startUs; };
    auto between = [&](int64_t left, int64_t right) {
        const int64_t start = endOf(left);
        return IntRange{start, std::max(start, startOf(right))};
    };

    std::vector<Stretch> found;
    const auto count = static_cast<int64_t>(boundaries.size());
    for (int64_t k = 0; k + 1 < count; ++k) {
        const int64_t left = boundaries[static_cast<size_t>(k)];
        const int64_t right = boundaries[static_cast<size_t>(k + 1)];
        int64_t lostUs = 0;
        bool unplaced = false;
        for (int64_t i = left + 1; i < right; ++i) {
            if (placement.placed[static_cast<size_t>(i)]) continue;
            unplaced = true;
            lostUs += words[static_cast<size_t>(i)].endUs - words[static_cast<size_t>(i)].startUs;
        }
        if (unplaced) {
            const int64_t outerLeft = k == 0 ? -1 : boundaries[static_cast<size_t>(k - 1)];
            const int64_t outerRight = k + 2 < count ? boundaries[static_cast<size_t>(k + 2)] : n;
            found.push_back({between(outerLeft, outerRight), {outerLeft + 1, outerRight}, lostUs});
        } else {
            const IntRange span = between(left, right);
            const int64_t voiced = longestVoice(voice, span);
            if (voiced >= minimumLostVoiceUs) found.push_back({span, {left + 1, right}, voiced});
        }
    }
    return merged(std::move(found));
}

std::vector<IntRange> Rehearing::uncertain(const Placement& placement, std::span<const IntRange> voice, int64_t durationUs) {
    const auto& words = placement.words;
    const auto n = static_cast<int64_t>(words.size());
    std::vector<IntRange> ranges;
    for (const Stretch& s : stretches(placement, voice, durationUs)) {
        const int64_t before = s.words.lower > 0 ? words[static_cast<size_t>(s.words.lower - 1)].startUs : 0;
        const int64_t after = s.words.upper < n ? words[static_cast<size_t>(s.words.upper)].endUs : durationUs;
        ranges.push_back({std::min(s.span.lower, before), std::max(s.span.upper, after)});
        for (int64_t i = s.words.lower; i < s.words.upper; ++i) {
            if (placement.placed[static_cast<size_t>(i)]) continue;
            const RawWord& word = words[static_cast<size_t>(i)];
            ranges.push_back({word.startUs, std::max(word.endUs, word.startUs + 1)});
        }
    }
    std::stable_sort(ranges.begin(), ranges.end(), [](const IntRange& a, const IntRange& b) { return a.lower < b.lower; });
    return ranges;
}

Rehearing::Result Rehearing::heal(const Placement& original, std::span<const float> samples16k,
                                  std::span<const IntRange> voice, const std::string& language,
                                  const JobContext& job) const {
    const auto sampleCount = static_cast<int64_t>(samples16k.size());
    const int64_t durationUs = sampleCount * 1'000'000 / 16'000;

    std::vector<Stretch> chosen;
    for (const Stretch& s : stretches(original, voice, durationUs))
        if (s.span.length() <= maximumStretchUs) chosen.push_back(s);
    std::stable_sort(chosen.begin(), chosen.end(), [](const Stretch& a, const Stretch& b) { return a.lostUs > b.lostUs; });
    if (chosen.size() > maximumStretches) chosen.resize(maximumStretches);
    // Worked from the end backwards, so replacing one stretch's words keeps
    // the indices of those still to come.
    std::stable_sort(chosen.begin(), chosen.end(),
                     [](const Stretch& a, const Stretch& b) { return a.words.lower > b.words.lower; });

    if (chosen.empty()) return {original, uncertain(original, voice, durationUs), 0};

    const JobContext quiet(JobContext::Reporter{}, job.waiter, job.asked);
    Placement placement = original;
    int64_t reheard = 0;
    transcriber.listening([&](Transcriber& listener) {
        for (const Stretch& stretch : chosen) {
            const auto wordCount = static_cast<int64_t>(placement.words.size());
            const IntRange range{std::min(stretch.words.lower, wordCount), std::min(stretch.words.upper, wordCount)};
            const std::span<const RawWord> old(placement.words.data() + range.lower, static_cast<size_t>(range.length()));
            const RawWord* before = range.lower > 0 ? &placement.words[static_cast<size_t>(range.lower - 1)] : nullptr;
            const RawWord* after = range.upper < wordCount ? &placement.words[static_cast<size_t>(range.upper)] : nullptr;

            for (int64_t contextUs : contextsUs) {
                Task::checkCancellation();
                const IntRange w = window(stretch.span, durationUs, contextUs);
                const int64_t first = w.lower * 16'000 / 1'000'000;
                const int64_t end = std::min(w.upper * 16'000 / 1'000'000, sampleCount);
                if (end <= first) continue;

                const std::vector<RawWord> heard = listener.transcribe(
                    samples16k.subspan(static_cast<size_t>(first), static_cast<size_t>(end - first)), language, quiet);
                std::vector<RawWord> tokens;
                for (const RawWord& word : heard)
                    for (RawWord& token : WordTokens::split(word)) {
                        token.startUs += w.lower;
                        token.endUs += w.lower;
                        tokens.push_back(std::move(token));
                    }

                const std::vector<RawWord> kept = inside(std::move(tokens), stretch.span, before, after);
                if (kept.empty() || spoken(kept) < spoken(old)) continue;

                const Placement fresh = aligner.place(kept, samples16k, before ? before->endUs : 0,
                                                      after ? std::optional<int64_t>(after->startUs) : std::nullopt, quiet);
                if (borneOut(fresh, {0, static_cast<int64_t>(fresh.words.size())}) > borneOut(placement, range)) {
                    replace(placement.words, range, fresh.words);
                    replace(placement.placed, range, fresh.placed);
                    replace(placement.letterLogProbability, range, fresh.letterLogProbability);
                    ++reheard;
                    break;
                }
                if (spokenLetters(kept) == spokenLetters(old)) break;
            }
        }
    });
    return {placement, uncertain(placement, voice, durationUs), reheard};
}

} // namespace korvel
