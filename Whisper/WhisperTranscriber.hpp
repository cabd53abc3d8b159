#pragma once

#include "Core/Jobs.hpp"
#include "Core/Speech/Transcription.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// The quality recogniser: whisper.cpp with its own voice-activity detection.
// Every library call runs on a thread of its own; cancellation reaches the
// library through its abort and encoder-begin callbacks.
class WhisperTranscriber : public Transcriber {
public:
    static constexpr size_t errorBufferSize = 256;
    static constexpr std::string_view initialPrompt =
        "Umm, let me think like, hmm... Okay, here's what I'm, like, thinking. So, uh, the the thing is.";
    // The library's interface counts samples in 32 bits.
    static constexpr int64_t maximumSamples = 2'147'483'647;

    WhisperTranscriber(std::string modelPath, std::string vadPath, bool englishOnly);

    TranscriberKind kind() const override { return TranscriberKind::whisperLargeV3; }
    bool supports(const std::string& language) override;
    std::vector<RawWord> transcribe(std::span<const float> samples16k, const std::string& language,
                                    const JobContext& job) override;
    void listening(const std::function<void(Transcriber&)>& body) override;
    std::optional<LanguageGuess> languageHeard(std::span<const float> samples16k) override;

    const std::string modelPath;
    const std::string vadPath;
    const bool englishOnly;

    // The pieces that need no model, open to tests.
    struct Segment {
        const char* text = nullptr;
        int64_t t0 = 0; // 10 ms units
        int64_t t1 = 0;
        std::vector<float> tokenProbabilities;
    };
    static std::optional<RawWord> word(const Segment& segment);
    static EngineProgress progress(int64_t totalUs, int percent);
    static bool hears(std::string_view language, bool englishOnly);
    static std::string thrown(const char (&buffer)[errorBufferSize]);
};

} // namespace korvel
