#pragma once

#include "Core/Jobs.hpp"
#include "Core/Speech/VoiceLanguage.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace korvel {

// A word as a recogniser or the aligner gives it; the text may carry
// punctuation, or several tokens when a recogniser joined them.
struct RawWord {
    std::string text;
    int64_t startUs = 0;
    int64_t endUs = 0;
    std::optional<double> confidence;

    bool operator==(const RawWord&) const = default;
};

enum class TranscriberKind { whisperLargeV3, speechTranscriber };

std::string_view rawValue(TranscriberKind kind);
std::optional<TranscriberKind> transcriberKind(std::string_view rawValue);

// A speech recogniser. Calls block the job's thread.
class Transcriber {
public:
    virtual ~Transcriber() = default;

    virtual TranscriberKind kind() const = 0;
    virtual bool supports(const std::string& language) = 0;
    virtual std::vector<RawWord> transcribe(std::span<const float> samples16k, const std::string& language,
                                            const JobContext& job) = 0;
    // Runs the body with a transcriber that keeps its model loaded throughout,
    // so many short recognitions in a row load it once.
    virtual void listening(const std::function<void(Transcriber&)>& body) { body(*this); }
    virtual std::optional<LanguageGuess> languageHeard(std::span<const float> /*samples16k*/) { return std::nullopt; }
};

// listening() with a result.
template <class Body>
auto listening(Transcriber& transcriber, Body&& body) -> std::invoke_result_t<Body&, Transcriber&> {
    using T = std::invoke_result_t<Body&, Transcriber&>;
    if constexpr (std::is_void_v<T>) {
        transcriber.listening([&](Transcriber& t) { body(t); });
    } else {
        std::optional<T> result;
        transcriber.listening([&](Transcriber& t) { result.emplace(body(t)); });
        if (!result) throw std::logic_error("a transcriber's listening() did not run its body");
        return std::move(*result);
    }
}

// One word per whitespace-separated token, the word's span shared out by length.
namespace WordTokens {
std::vector<RawWord> split(const RawWord& word);
}

struct SentenceSpan {
    int64_t firstWord = 0;
    int64_t lastWord = 0;

    bool operator==(const SentenceSpan&) const = default;
};

// Sentences as runs of word indices, closed by a terminal at a word's end.
namespace SentenceSplitter {
std::vector<SentenceSpan> split(std::span<const RawWord> words);
}

} // namespace korvel
