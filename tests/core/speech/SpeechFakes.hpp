#pragma once

#include "Core/Speech/EmissionModel.hpp"
#include "Core/Speech/Transcription.hpp"

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <vector>

namespace korvel::fakes {

// A recogniser that answers from a script and remembers what it was asked.
class ScriptedTranscriber : public Transcriber {
public:
    struct Call {
        const float* first = nullptr;
        size_t count = 0;
        std::string language;
    };

    std::function<std::vector<RawWord>(std::span<const float>)> heard = [](std::span<const float>) {
        return std::vector<RawWord>{};
    };
    std::vector<std::optional<LanguageGuess>> guesses;
    std::vector<Call> transcriptions;
    std::vector<Call> detections;
    int listeningBodies = 0;

    TranscriberKind kind() const override { return TranscriberKind::whisperLargeV3; }
    bool supports(const std::string&) override { return true; }

    std::vector<RawWord> transcribe(std::span<const float> samples, const std::string& language, const JobContext& job) override {
        transcriptions.push_back({samples.data(), samples.size(), language});
        job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::items, 1, 1});
        return heard(samples);
    }

    void listening(const std::function<void(Transcriber&)>& body) override {
        ++listeningBodies;
        body(*this);
    }

    std::optional<LanguageGuess> languageHeard(std::span<const float> samples) override {
        detections.push_back({samples.data(), samples.size(), {}});
        if (detections.size() > guesses.size()) return std::nullopt;
        return guesses[detections.size() - 1];
    }
};

// A CTC model over a hand-made table: at the absolute times listed, the
// given token is sure (log-probability `peak`); elsewhere blank is sure.
// Frames are 20 ms from the request's start; every request gets all its frames.
class TableEmissionModel : public EmissionModel {
public:
    struct Request {
        int64_t startUs;
        size_t samples;
    };

    CTCVocabulary vocab = CTCVocabulary::wav2vec2English();
    std::map<int64_t, std::pair<int, float>> peaks;  // time → (token, log-probability)
    float quiet = -20;                                // letters where nothing is said
    std::optional<float> everyLetter;                 // the same value for every letter and frame
    bool fails = false;
    std::vector<Request> requests;

    const CTCVocabulary& vocabulary() const override { return vocab; }

    CTCEmissions logProbabilities(std::span<const float> samples, int64_t startUs) override {
        requests.push_back({startUs, samples.size()});
        if (fails) throw std::runtime_error("model failed");
        const int64_t width = 32;
        const int64_t frames = static_cast<int64_t>(samples.size()) / CTCEmissions::samplesPerFrame;
        CTCEmissions e{std::vector<float>(static_cast<size_t>(frames * width)), frames, width};
        for (int64_t f = 0; f < frames; ++f) {
            float* row = e.values.data() + f * width;
            for (int64_t id = 0; id < width; ++id) row[id] = everyLetter ? *everyLetter : quiet;
            row[vocab.blank] = 0;
            if (auto p = peaks.find(startUs + f * CTCEmissions::stepUs); p != peaks.end()) {
                row[vocab.blank] = -30;
                row[p->second.first] = p->second.second;
            }
        }
        return e;
    }

    // Peaks for the letters of a text, one every `stepUs` from `atUs`, a separator between words.
    void say(const std::string& text, int64_t atUs, int64_t stepUs = CTCEmissions::stepUs, float value = -0.5f) {
        for (int id : vocab.ids(text)) {
            peaks[atUs] = {id, value};
            atUs += stepUs;
        }
    }
};

} // namespace korvel::fakes
