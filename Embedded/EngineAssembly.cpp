#include "Embedded/EngineAssembly.hpp"

#include "Adapters/Render/TempOutput.hpp"

namespace korvel {

EngineSpeech EngineSpeech::standard() {
    return EngineSpeech{ModelCatalog::all(), ModelCatalog::whisperLargeV3(), std::nullopt, false};
}

namespace EngineAssembly {

Engine engine(const EngineFolders& folders, const EngineSpeech& speech) {
    (void)speech;
    EngineCaches caches{folders.cache};
    TempOutput::sweep(caches.journal());
    Engine engine;
    return engine;
}

} // namespace EngineAssembly
} // namespace korvel
