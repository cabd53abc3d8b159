#include "Core/Speech/VoiceLanguage.hpp"

#include "Core/Jobs.hpp"
#include "Core/Speech/Characters.hpp"
#include "Core/Speech/Transcription.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>

namespace korvel::VoiceLanguage {

namespace {
// Spaces and tabs only: a line break inside a tag is the caller's garbage to keep.
bool isBlank(UChar32 c) { return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; }

std::string_view trimmed(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t start = 0;
    while (start < length) {
        int32_t next = start;
        UChar32 c = 0;
        U8_NEXT(bytes, next, length, c);
        if (!isBlank(c)) break;
        start = next;
    }
    int32_t end = length;
    while (end > start) {
        int32_t previous = end;
        UChar32 c = 0;
        U8_PREV(bytes, start, previous, c);
        if (!isBlank(c)) break;
        end = previous;
    }
    return text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
}
} // namespace

std::string plain(std::string_view tag) {
    const std::string lower = Characters::lowercased(trimmed(tag));
    size_t start = 0;
    while (start < lower.size()) {
        const size_t end = lower.find_first_of("-_", start);
        if (end != start) return lower.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end + 1;
    }
    return lower;
}

bool isEnglish(std::string_view tag) { return plain(tag) == "en"; }

std::vector<int64_t> windowStarts(int64_t firstVoiceUs, int64_t durationUs) {
    const int64_t candidates[] = {std::max<int64_t>(0, firstVoiceUs), durationUs / 3, 2 * durationUs / 3};
    std::vector<int64_t> starts;
    for (int64_t candidate : candidates) {
        if (durationUs - candidate < minimumWindowUs) continue;
        const bool crowded = std::any_of(starts.begin(), starts.end(), [&](int64_t taken) {
            return std::abs(candidate - taken) < windowUs;
        });
        if (!crowded) starts.push_back(candidate);
    }
    return starts;
}

std::optional<LanguageGuess> find(Transcriber& transcriber, std::span<const float> samples16k, int64_t firstVoiceUs) {
    const auto count = static_cast<int64_t>(samples16k.size());
    const int64_t durationUs = count * 1'000'000 / 16'000;
    std::optional<LanguageGuess> best;
    for (int64_t start : windowStarts(firstVoiceUs, durationUs)) {
        Task::checkCancellation();
        const int64_t first = start * 16'000 / 1'000'000;
        const int64_t end = std::min((start + windowUs) * 16'000 / 1'000'000, count);
        if (end <= first) continue;
        std::optional<LanguageGuess> guess =
            transcriber.languageHeard(samples16k.subspan(static_cast<size_t>(first), static_cast<size_t>(end - first)));
        if (!guess) continue;
        if (guess->probability >= sureProbability) return guess;
        if (best ? guess->probability > best->probability : guess->probability > 0) best = std::move(guess);
    }
    return best;
}

} // namespace korvel::VoiceLanguage
