#include "Embedded/EngineAssembly.hpp"

#include "Adapters/Analysis/AudioAnalysisMethods.hpp"
#include "Adapters/Audio/AudioPlanRenderer.hpp"
#include "Adapters/Audio/SoundIsolationAdapter.hpp"
#include "Adapters/Models/InstalledSpeechModels.hpp"
#include "Adapters/Models/ModelSources.hpp"
#include "Adapters/Speech/AppleSpeechTranscriber.hpp"
#include "Adapters/Render/RenderMethods.hpp"
#include "Adapters/Render/SourceLibrary.hpp"
#include "Adapters/Vision/SceneScanMemo.hpp"
#include "Whisper/WhisperTranscriber.hpp"

namespace korvel {

EngineSpeech EngineSpeech::standard() {
    return EngineSpeech{ModelCatalog::all(), ModelCatalog::whisperLargeV3(), std::nullopt, false};
}

namespace EngineAssembly {

namespace {

// The configuration's own entry for a standard model's id (a test catalogue
// carries its own files under the same ids), else the standard entry.
ModelEntry entryLike(const EngineSpeech& speech, const ModelEntry& standard) {
    for (const ModelEntry& e : speech.catalog)
        if (e.id == standard.id) return e;
    return standard;
}

struct SpeechServices {
    std::shared_ptr<ModelStore> store;
    std::shared_ptr<SpeechModelProviding> models;
    std::shared_ptr<Transcriber> apple;
};

SpeechServices speechServices(const EngineFolders& folders, const EngineSpeech& speech) {
    std::shared_ptr<const ModelSource> source;
    if (speech.downloads) source = std::make_shared<DirectModelSource>(*speech.downloads);
    else source = std::make_shared<KorvelAPIModelSource>(folders.modelsBaseURL);
    auto store = ModelStore::make(folders.models, speech.catalog, source);
    const bool englishOnly = speech.whisperIsEnglishOnly;
    auto models = std::make_shared<InstalledSpeechModels>(
        store, folders.models / "compiled", speech.whisper,
        [englishOnly](const std::string& model, const std::string& vad) -> std::shared_ptr<Transcriber> {
            return std::make_shared<WhisperTranscriber>(model, vad, englishOnly);
        },
        entryLike(speech, ModelCatalog::sileroVad()), entryLike(speech, ModelCatalog::ctcLv60()));
    return {store, models, std::make_shared<AppleSpeechTranscriber>()};
}

} // namespace

Engine engine(const EngineFolders& folders, const EngineSpeech& speech) {
    Engine engine;
    TextCaches text; // one per engine, shared by every render and text request
    auto plans = std::make_shared<AudioPlanRenderer>(
        std::make_shared<SoundIsolationAdapter>(SoundIsolationAdapter::Mode::voice, IsolationCalibration::shared()),
        folders.cache, SourceLibrary::shared(), std::string(Engine::version));
    for (auto& [name, job] : RenderMethods::table(folders.cache, SourceLibrary::shared(), text,
                                                  AudioAnalysisMethods::audioSegment(plans))) {
        engine.methods[name] = std::move(job);
    }
    const SpeechServices speechSide = speechServices(folders, speech);
    AudioAnalysisMethods::Inputs analysis{folders.cache, SourceLibrary::shared(), std::string(Engine::version), plans,
                                          speechSide.apple, speechSide.models, speechSide.store,
                                          &SceneScanMemo::shared(), nullptr};
    for (auto& [name, job] : AudioAnalysisMethods::table(analysis)) {
        engine.methods[name] = std::move(job);
    }
    return engine;
}

} // namespace EngineAssembly
} // namespace korvel
