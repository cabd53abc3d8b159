#include "Embedded/EngineAssembly.hpp"

#include "Adapters/Analysis/AudioAnalysisMethods.hpp"
#include "Adapters/Audio/AudioPlanRenderer.hpp"
#include "Adapters/Audio/SoundIsolationAdapter.hpp"
#include "Adapters/Render/RenderMethods.hpp"
#include "Adapters/Render/SourceLibrary.hpp"

namespace korvel {

EngineSpeech EngineSpeech::standard() {
    return EngineSpeech{ModelCatalog::all(), ModelCatalog::whisperLargeV3(), std::nullopt, false};
}

namespace EngineAssembly {

Engine engine(const EngineFolders& folders, const EngineSpeech& speech) {
    (void)speech;
    Engine engine;
    TextCaches text; // one per engine, shared by every render and text request
    auto plans = std::make_shared<AudioPlanRenderer>(
        std::make_shared<SoundIsolationAdapter>(SoundIsolationAdapter::Mode::voice, IsolationCalibration::shared()),
        folders.cache, SourceLibrary::shared(), std::string(Engine::version));
    for (auto& [name, job] : RenderMethods::table(folders.cache, SourceLibrary::shared(), text,
                                                  AudioAnalysisMethods::audioSegment(plans))) {
        engine.methods[name] = std::move(job);
    }
    AudioAnalysisMethods::Inputs analysis{folders.cache, SourceLibrary::shared(), std::string(Engine::version), plans};
    for (auto& [name, job] : AudioAnalysisMethods::table(analysis)) {
        engine.methods[name] = std::move(job);
    }
    return engine;
}

} // namespace EngineAssembly
} // namespace korvel
