#pragma once

#include "Adapters/Files/EngineFolders.hpp"
#include "Core/Speech/ModelCatalog.hpp"
#include "Embedded/InProcessEngine.hpp"

#include <filesystem>
#include <memory>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

struct Engine;

// The speech configuration of an engine.
struct EngineSpeech {
    std::vector<ModelEntry> catalog;
    ModelEntry whisper;
    std::optional<std::map<std::string, std::string>> downloads; // model id → URL
    bool whisperIsEnglishOnly = false;

    bool operator==(const EngineSpeech&) const = default;

    // A small English-only set for a handheld host.
    static EngineSpeech phone(std::optional<std::map<std::string, std::string>> downloads = std::nullopt);
    // What the standalone process runs with.
    static EngineSpeech standard();
};

// libkorvel-engine.so exports `inProcess` of these; the method tables are
// the process's and the tests'.
namespace EngineAssembly {
// The method table of the standard-input engine: every method table merged.
// Building it sweeps what dead processes left in the cache root.
Engine engine(const EngineFolders& folders, const EngineSpeech& speech);
// The same for a host that names its folders (an empty one is the process's
// default); models come from the built-in address.
Engine engine(const std::filesystem::path& cache, const std::filesystem::path& models, const EngineSpeech& speech);
// The engine inside the host's process, with render.live and its shelf; its
// folders as `engine` takes them.
std::unique_ptr<InProcessEngine> inProcess(const std::filesystem::path& cache, const std::filesystem::path& models,
                                           const EngineSpeech& speech);
// Every table merged in the order analysis, render, live (with a shelf).
// A name defined twice stops the process.
std::map<std::string, Job, std::less<>> methods(const EngineFolders& folders, const EngineSpeech& speech,
                                                std::shared_ptr<OnceShelf<LiveComposition>> videos);
// Adds the entries; stops the process on a name already there.
void merge(std::map<std::string, Job, std::less<>>& into, std::map<std::string, Job, std::less<>> from);
} // namespace EngineAssembly

} // namespace korvel
