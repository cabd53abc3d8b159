#pragma once

#include "Adapters/Models/ModelStore.hpp"
#include "Core/Speech/ModelCatalog.hpp"
#include "Core/Speech/Transcription.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>

namespace korvel {

class OnnxEmissionModel;

// Compiles the installed alignment package once into
// <compiled>/<sha256>.mlmodelc and keeps the loaded model for the process.
class AlignerCache {
public:
    explicit AlignerCache(std::filesystem::path compiledFolder) : compiledFolder(std::move(compiledFolder)) {}

    // Throws the compile, folder, move and load failures; nothing is kept then.
    std::shared_ptr<OnnxEmissionModel> model(const std::filesystem::path& package, const std::string& sha256);

    const std::filesystem::path compiledFolder;

private:
    void compile(const std::filesystem::path& package, const std::filesystem::path& compiled);

    std::mutex lock_;
    std::shared_ptr<OnnxEmissionModel> loaded_;
};

// The installed models as working recognisers for the transcription pipeline.
class InstalledSpeechModels : public SpeechModelProviding {
public:
    using MakeTranscriber = std::function<std::shared_ptr<Transcriber>(const std::string& modelPath, const std::string& vadPath)>;
    // Whether the whisper model, installed, would transcribe a language.
    using WhisperHears = std::function<bool(const std::string& language)>;

    // vad and ctc name the catalogue entries to look for; the standard ones by
    // default. Without whisperHears every language counts as one an install may bring.
    InstalledSpeechModels(std::shared_ptr<ModelStore> store, std::filesystem::path compiledFolder, ModelEntry whisper,
                          MakeTranscriber makeTranscriber, ModelEntry vad = ModelCatalog::sileroVad(),
                          ModelEntry ctc = ModelCatalog::ctcLv60(), WhisperHears whisperHears = {});

    std::shared_ptr<Transcriber> qualityTranscriber() override;
    // Null also when the installed package can't be compiled or loaded.
    std::shared_ptr<EmissionModel> emissionModel() override;
    void startInstallingIfNeeded() override;
    void installAndWait(const JobContext& job) override;
    bool catalogueHears(const std::string& language) override;

    const std::shared_ptr<ModelStore> store;
    const MakeTranscriber makeTranscriber;
    const std::shared_ptr<AlignerCache> aligner;
    const ModelEntry whisper;
    const ModelEntry vad;
    const ModelEntry ctc;
    const WhisperHears whisperHears;
};

} // namespace korvel
