#pragma once

#include "Core/Speech/EmissionModel.hpp"

#include <filesystem>
#include <memory>
#include <span>

namespace korvel {

// The CTC letter model of forced alignment, run by ONNX Runtime from its
// compiled (optimised) form: 15 s of normalised 16 kHz sound in, per-20 ms
// letter log-probabilities out, trimmed to the frames real sound fills.
class OnnxEmissionModel : public EmissionModel {
public:
    static constexpr int64_t inputSamples = 240'000;
    static constexpr float normalisationFloor = 1e-7f;
    static constexpr int intraOpThreads = 4;
    static constexpr const char* compiledFileName = "model.ort";
    static constexpr const char* packageFileName = "model.onnx";

    // Loads <compiled>/model.ort; throws -32603 "Could not load the alignment model: …".
    explicit OnnxEmissionModel(const std::filesystem::path& compiledURL);
    ~OnnxEmissionModel() override;

    const CTCVocabulary& vocabulary() const override;
    // Throws the runtime's failures and -32603 for an unexpected output shape.
    CTCEmissions logProbabilities(std::span<const float> samples16k, int64_t startUs) override;

    // Writes the optimised form of <package>/model.onnx into the folder
    // (which must exist). Throws the runtime's failures.
    static void compile(const std::filesystem::path& package, const std::filesystem::path& into);

    // The model's input: zero-padded, normalised by the samples' own mean and deviation.
    static std::vector<float> input(std::span<const float> samples16k);

private:
    struct Session;
    std::unique_ptr<Session> session_;
};

} // namespace korvel
