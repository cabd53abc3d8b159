#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

class Transcriber;

// What a transcriber thinks it hears.
struct LanguageGuess {
    std::string language;
    double probability = 0;

    bool operator==(const LanguageGuess&) const = default;
};

// Language tags as speech compares them, and finding a clip's language.
namespace VoiceLanguage {
inline constexpr std::string_view autoLanguage = "auto";
inline constexpr std::string_view fallback = "en";
inline constexpr int64_t windowUs = 30'000'000;
inline constexpr int64_t minimumWindowUs = 1'000'000;
inline constexpr double sureProbability = 0.5;

// "en-US" → "en", "pt_BR" → "pt": trimmed, lower case, first subtag.
std::string plain(std::string_view tag);
bool isEnglish(std::string_view tag);
std::vector<int64_t> windowStarts(int64_t firstVoiceUs, int64_t durationUs);
// Asks the transcriber window by window; stops at the first sure guess.
// Throws what the transcriber throws, and Cancelled.
std::optional<LanguageGuess> find(Transcriber& transcriber, std::span<const float> samples16k, int64_t firstVoiceUs);
} // namespace VoiceLanguage

} // namespace korvel
