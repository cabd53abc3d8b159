#include "Core/Speech/FillerDetector.hpp"

#include "Core/Jobs.hpp"
#include "Core/Speech/Characters.hpp"
#include "Core/Speech/VoiceLanguage.hpp"
#include "Core/Speech/WordCloser.hpp"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <stdexcept>

namespace korvel {

namespace {
using namespace FillerDetector;
constexpr int64_t windowUs = 10'000;
constexpr double heldBelowPeakDb = 6;

constexpr std::array<std::string_view, 13> connectors{"or", "and", "the", "so", "a", "an", "to", "of", "but", "that", "is", "it", "like"};

constexpr std::array<std::pair<std::string_view, std::string_view>, 6> patternByLanguage{{
    {"en", "u+h+|u+m+|h?m+|e+r+m*|a+h+|e+h+"},
    {"es", "e+h+|e+m+|hm+|mm+|u+h+|u+m+|a+h+"},
    {"fr", "e+u+h+|h+e+u+|h+u+m+|hm+|mm+|u+h+"},
    {"de", "ä+h+m*|ö+h+m*|e+h+m+|hm+|mm+"},
    {"it", "e+h+m+|u+h+m+|hm+|mm+|u+h+"},
    {"pt", "h+u+m+|hm+|mm+|a+h+n+|h+ã+|u+h+"},
}};
constexpr std::string_view otherPattern = "hm+|mm+|u+h+m*";

std::unique_ptr<icu::RegexPattern> compiled(std::string_view pattern) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError where{};
    const icu::UnicodeString source =
        icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), static_cast<int32_t>(pattern.size())));
    std::unique_ptr<icu::RegexPattern> made(icu::RegexPattern::compile(source, 0, where, status));
    if (U_FAILURE(status) || !made) throw std::logic_error("a filler pattern does not compile");
    return made;
}

// Compiled patterns are immutable and may be shared by threads; each match makes its own matcher.
const icu::RegexPattern& patternFor(std::string_view language) {
    static const auto patterns = [] {
        std::map<std::string, std::unique_ptr<icu::RegexPattern>, std::less<>> made;
        for (const auto& [code, pattern] : patternByLanguage) made.emplace(std::string(code), compiled(pattern));
        made.emplace(std::string(), compiled(otherPattern));
        return made;
    }();
    const std::string code = VoiceLanguage::plain(language);
    auto found = patterns.find(code);
    if (found == patterns.end()) found = patterns.find(std::string());
    return *found->second;
}

std::string normalized(std::string_view text) {
    std::string kept;
    for (const std::string& c : Characters::split(Characters::lowercased(Characters::composed(text))))
        if (Characters::isLetter(c)) kept += c;
    return kept;
}

bool isFillerText(const std::string& normalizedText, std::string_view language) {
    if (normalizedText.empty()) return false;
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString input = icu::UnicodeString::fromUTF8(normalizedText);
    std::unique_ptr<icu::RegexMatcher> matcher(patternFor(language).matcher(input, status));
    if (U_FAILURE(status) || !matcher) return false;
    const bool whole = matcher->matches(status);
    return U_SUCCESS(status) && whole;
}

std::optional<IntRange> heldPart(int64_t s, int64_t e, std::span<const double> levels) {
    const auto count = static_cast<int64_t>(levels.size());
    const int64_t first = std::max<int64_t>(0, s / windowUs);
    const int64_t end = std::min((e + windowUs - 1) / windowUs, count);
    if (end <= first) return std::nullopt;
    const double peak = *std::max_element(levels.begin() + first, levels.begin() + end);
    int64_t bestStart = first, bestLength = 0, runStart = first;
    for (int64_t w = first; w <= end; ++w) {
        const bool loud = w < end && levels[static_cast<size_t>(w)] >= peak - heldBelowPeakDb;
        if (loud) continue;
        if (w - runStart > bestLength) bestStart = runStart, bestLength = w - runStart;
        runStart = w + 1;
    }
    const IntRange held{std::max(s, bestStart * windowUs), std::min((bestStart + bestLength) * windowUs, e)};
    if (held.empty()) return std::nullopt;
    return held;
}

std::optional<IntRange> heldCut(int64_t s, int64_t e, std::span<const double> levels) {
    const std::optional<IntRange> held = heldPart(s, e, levels);
    if (!held) return std::nullopt;
    const int64_t length = std::min((e - s) - sustainedKeepUs, held->length() - heldKeepUs);
    if (length < minimumCutUs) return std::nullopt;
    return IntRange{held->lower + onsetTransitionUs, held->lower + onsetTransitionUs + length};
}

std::vector<FillerFinding> voicedGaps(std::span<const RawWord> words, std::span<const double> levels) {
    std::vector<FillerFinding> found;
    const auto count = static_cast<int64_t>(levels.size());
    for (const IntRange& take : WordCloser::takes(words)) {
        const VoicedFrames mask = WordCloser::voicedMask(levels, take, words);
        for (int64_t i = take.lower; i + 1 < take.upper; ++i) {
            const int64_t from = words[static_cast<size_t>(i)].endUs / windowUs;
            const int64_t to = words[static_cast<size_t>(i + 1)].startUs / windowUs;
            int64_t firstVoiced = -1, lastVoiced = -1, voiced = 0;
            for (int64_t w = std::max<int64_t>(0, from); w < std::min(to, count); ++w) {
                if (!mask.contains(w)) continue;
                if (firstVoiced < 0) firstVoiced = w;
                lastVoiced = w;
                ++voiced;
            }
            if (voiced * windowUs < gapVoicedMinimumUs) continue;
            const int64_t start = firstVoiced * windowUs;
            const int64_t end = (lastVoiced + 1) * windowUs;
            found.push_back({FillerFinding::Kind::voicedGap, start, end, start, end, std::nullopt, true});
        }
    }
    return found;
}
} // namespace

namespace FillerDetector {

bool isFillerSound(std::string_view text, std::string_view language) { return isFillerText(normalized(text), language); }

std::vector<FillerFinding> candidates(std::span<const RawWord> words, std::span<const double> levels,
                                      std::span<const IntRange> uncertain, std::string_view language) {
    const bool english = VoiceLanguage::plain(language) == "en";
    std::vector<FillerFinding> findings;
    for (size_t i = 0; i < words.size(); ++i) {
        const RawWord& word = words[i];
        const std::string text = normalized(word.text);
        const int64_t length = word.endUs - word.startUs;
        if (isFillerText(text, language)) {
            if (length > 0)
                findings.push_back({FillerFinding::Kind::written, word.startUs, word.endUs, word.startUs, word.endUs,
                                    static_cast<int64_t>(i), false});
            continue;
        }
        if (!english || length < sustainedMinimumUs) continue;
        if (std::find(connectors.begin(), connectors.end(), text) == connectors.end()) continue;
        if (const std::optional<IntRange> cut = heldCut(word.startUs, word.endUs, levels))
            findings.push_back({FillerFinding::Kind::sustained, word.startUs, word.endUs, cut->lower, cut->upper,
                                static_cast<int64_t>(i), false});
    }
    for (FillerFinding& gap : voicedGaps(words, levels)) findings.push_back(std::move(gap));
    std::stable_sort(findings.begin(), findings.end(),
                     [](const FillerFinding& a, const FillerFinding& b) { return a.startUs < b.startUs; });
    for (FillerFinding& finding : findings) {
        if (finding.auditionOnly) continue;
        const IntRange cut{finding.cutStartUs, finding.cutEndUs};
        finding.auditionOnly = std::any_of(uncertain.begin(), uncertain.end(), [&](const IntRange& u) { return cut.overlaps(u); });
    }
    return findings;
}

std::vector<FillerFinding> confirmed(std::span<const FillerFinding> findings,
                                     const std::function<std::string(int64_t, int64_t)>& decode) {
    std::vector<FillerFinding> kept;
    for (const FillerFinding& finding : findings) {
        Task::checkCancellation();
        if (finding.kind == FillerFinding::Kind::voicedGap && decode(finding.startUs, finding.endUs).empty()) continue;
        kept.push_back(finding);
    }
    return kept;
}

} // namespace FillerDetector

} // namespace korvel
