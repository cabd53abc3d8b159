#include "Embedded/EngineAssembly.hpp"

#include "Adapters/Audio/AudioPlanRenderer.hpp"
#include "Adapters/Audio/SoundIsolationAdapter.hpp"
#include "Adapters/Live/LiveMethods.hpp"
#include "Adapters/Live/OnceShelf.hpp"
#include "Adapters/Methods/AudioAnalysisMethods.hpp"
#include "Adapters/Models/InstalledSpeechModels.hpp"
#include "Adapters/Models/ModelSources.hpp"
#include "Adapters/Speech/PocketSphinxTranscriber.hpp"
#include "Adapters/Render/RenderMethods.hpp"
#include "Adapters/Media/SourceLibrary.hpp"
#include "Adapters/Vision/SceneScanMemo.hpp"
#include "Whisper/WhisperTranscriber.hpp"
#include "Core/Engine.hpp"

#include <cstdio>
#include <cstdlib>

namespace korvel {

EngineSpeech EngineSpeech::phone(std::optional<std::map<std::string, std::string>> downloads) {
    return EngineSpeech{{ModelCatalog::whisperSmallEn(), ModelCatalog::sileroVad(), ModelCatalog::ctcLv60()},
                        ModelCatalog::whisperSmallEn(), std::move(downloads), true};
}

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
    std::shared_ptr<Transcriber> systemTranscriber;
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
        entryLike(speech, ModelCatalog::sileroVad()), entryLike(speech, ModelCatalog::ctcLv60()),
        [englishOnly](const std::string& language) { return WhisperTranscriber::hears(language, englishOnly); });
    return {store, models, std::make_shared<PocketSphinxTranscriber>()};
}

} // namespace

using Table = std::map<std::string, Job, std::less<>>;

void merge(Table& into, Table from) {
    for (auto& [name, job] : from) {
        if (into.contains(name)) {
            // Two tables claiming one method is a wiring fault, never a request's.
            std::fprintf(stderr, "korvel-engine: method %s is defined twice\n", name.c_str());
            std::abort();
        }
        into.emplace(name, std::move(job));
    }
}

Table methods(const EngineFolders& folders, const EngineSpeech& speech,
              std::shared_ptr<OnceShelf<LiveComposition>> videos) {
    TextCaches text; // one per engine, shared by every render and text request
    auto plans = std::make_shared<AudioPlanRenderer>(
        std::make_shared<SoundIsolationAdapter>(SoundIsolationAdapter::Mode::voice, IsolationCalibration::shared()),
        folders.cache, SourceLibrary::shared(), std::string(Engine::version));
    const SpeechServices speechSide = speechServices(folders, speech);
    AudioAnalysisMethods::Inputs analysis{folders.cache, SourceLibrary::shared(), std::string(Engine::version), plans,
                                          speechSide.systemTranscriber, speechSide.models, speechSide.store,
                                          &SceneScanMemo::shared(), nullptr};
    Table merged = AudioAnalysisMethods::table(analysis);
    merge(merged, RenderMethods::table(folders.cache, SourceLibrary::shared(), text, plans));
    if (videos) {
        auto previews = std::make_shared<const LivePreviewService>(SourceLibrary::shared(),
                                                                   std::make_shared<TextCaches>(text));
        merge(merged, LiveMethods::table(previews, videos));
    }
    return merged;
}

Engine engine(const EngineFolders& folders, const EngineSpeech& speech) {
    Engine engine;
    engine.methods = methods(folders, speech, nullptr);
    return engine;
}

Engine engine(const std::filesystem::path& cache, const std::filesystem::path& models, const EngineSpeech& speech) {
    return engine(EngineFolders::named(cache, models, EngineFolders::environment()), speech);
}

std::unique_ptr<InProcessEngine> inProcess(const std::filesystem::path& cache, const std::filesystem::path& models,
                                           const EngineSpeech& speech) {
    auto shelf = std::make_shared<OnceShelf<LiveComposition>>("live", LiveMethods::waitingVideos);
    Engine engine;
    engine.methods = methods(EngineFolders::named(cache, models, EngineFolders::environment()), speech, shelf);
    return std::make_unique<InProcessEngine>(std::move(engine), std::move(shelf));
}

} // namespace EngineAssembly
} // namespace korvel
