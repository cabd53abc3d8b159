#include "Embedded/EngineAssembly.hpp"

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
    for (auto& [name, job] : RenderMethods::table(folders.cache, SourceLibrary::shared())) {
        engine.methods[name] = std::move(job);
    }
    return engine;
}

} // namespace EngineAssembly
} // namespace korvel
