#pragma once

#include "Adapters/Models/ModelStore.hpp"
#include "Adapters/Media/SourceLibrary.hpp"
#include "Core/Jobs.hpp"
#include "Core/Speech/ModelCatalog.hpp"
#include "Core/Speech/Transcription.hpp"

#include <filesystem>
#include <map>
#include <memory>
#include <string>

namespace korvel {

class AudioPlanRenderer;
class MatteBuilder;
class SceneScanMemo;

// The analysis side's method table: analysis.run, analysis.known,
// matte.build, audio.mix, models.status and models.install.
namespace AudioAnalysisMethods {

// What the composition root hands over; each side adds the services it
// builds once per engine.
struct Inputs {
    std::filesystem::path cacheRoot;
    std::shared_ptr<SourceLibrary> library;
    std::string engineVersion;
    // The one audio plan renderer of the engine (audio.mix).
    std::shared_ptr<AudioPlanRenderer> plans;
    // Speech: the system transcriber and the installed models feed the
    // transcription pipeline; the store serves models.status and models.install.
    std::shared_ptr<Transcriber> systemTranscriber;
    std::shared_ptr<SpeechModelProviding> models;
    std::shared_ptr<ModelStore> store;
    // Analysis: the process-wide scene-scan memo and the matte builder.
    SceneScanMemo* scenes = nullptr;
    std::shared_ptr<const MatteBuilder> matte;
};

std::map<std::string, Job, std::less<>> table(const Inputs& inputs);

} // namespace AudioAnalysisMethods
} // namespace korvel
