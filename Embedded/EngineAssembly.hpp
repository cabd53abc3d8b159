#pragma once

#include "Adapters/Methods/EngineFolders.hpp"
#include "Core/Engine.hpp"
#include "Core/Speech/ModelCatalog.hpp"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// The speech configuration of an engine.
struct EngineSpeech {
    std::vector<ModelEntry> catalog;
    ModelEntry whisper;
    std::optional<std::map<std::string, std::string>> downloads; // model id → URL
    bool whisperIsEnglishOnly = false;

    bool operator==(const EngineSpeech&) const = default;

    // What the standalone process runs with.
    static EngineSpeech standard();
};

namespace EngineAssembly {
// The method table of the standard-input engine: every method table merged.
// Building it sweeps what dead processes left in the cache root.
Engine engine(const EngineFolders& folders, const EngineSpeech& speech);
} // namespace EngineAssembly

} // namespace korvel
