#include "Embedded/EngineAssembly.hpp"

#include "Adapters/Analysis/AudioAnalysisMethods.hpp"
#include "Adapters/Audio/AudioPlanRenderer.hpp"
#include "Adapters/Audio/SoundIsolationAdapter.hpp"
#include "Adapters/Render/RenderMethods.hpp"
#include "Adapters/Render/SourceLibrary.hpp"
#include "Embedded/LiveMethods.hpp"

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
    (void)speech;
    TextCaches text; // one per engine, shared by every render and text request
    auto plans = std::make_shared<AudioPlanRenderer>(
        std::make_shared<SoundIsolationAdapter>(SoundIsolationAdapter::Mode::voice, IsolationCalibration::shared()),
        folders.cache, SourceLibrary::shared(), std::string(Engine::version));
    AudioAnalysisMethods::Inputs analysis{folders.cache, SourceLibrary::shared(), std::string(Engine::version), plans};
    Table merged = AudioAnalysisMethods::table(analysis);
    merge(merged, RenderMethods::table(folders.cache, SourceLibrary::shared(), text,
                                       AudioAnalysisMethods::audioSegment(plans)));
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
    return engine(EngineFolders::make(cache, models), speech);
}

std::unique_ptr<InProcessEngine> inProcess(const std::filesystem::path& cache, const std::filesystem::path& models,
                                           const EngineSpeech& speech) {
    auto shelf = std::make_shared<OnceShelf<LiveComposition>>("live", LiveMethods::waitingVideos);
    Engine engine;
    engine.methods = methods(EngineFolders::make(cache, models), speech, shelf);
    return std::make_unique<InProcessEngine>(std::move(engine), std::move(shelf));
}

} // namespace EngineAssembly
} // namespace korvel
