#pragma once

#include "Core/Speech/Transcription.hpp"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace korvel {

// The system recogniser: PocketSphinx with the US English model. It hears
// English only; long sound is decoded in utterances of at most about 30 s
// cut at the quietest 10 ms window near the end of each.
class PocketSphinxTranscriber : public Transcriber {
public:
    static constexpr int64_t maximumUtteranceSamples = 30 * 16'000;
    static constexpr int64_t searchFromSamples = 20 * 16'000;

    explicit PocketSphinxTranscriber(std::filesystem::path modelFolder = defaultModelFolder());

    TranscriberKind kind() const override { return TranscriberKind::speechTranscriber; }
    bool supports(const std::string& language) override;
    // Throws -32002 when the recogniser or its language is missing, and Cancelled.
    std::vector<RawWord> transcribe(std::span<const float> samples16k, const std::string& language,
                                    const JobContext& job) override;

    bool available() const;
    // Where each utterance ends, in samples.
    static std::vector<int64_t> utteranceEnds(std::span<const float> samples16k);
    static std::filesystem::path defaultModelFolder();

    const std::filesystem::path modelFolder;
};

} // namespace korvel
