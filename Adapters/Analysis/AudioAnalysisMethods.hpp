#pragma once

#include "Adapters/Render/SourceLibrary.hpp"
#include "Core/Jobs.hpp"

#include <filesystem>
#include <map>
#include <memory>
#include <string>

namespace korvel {

// The analysis side's method table: analysis.run, analysis.known,
// matte.build, audio.mix, models.status and models.install, and the job that
// serves the audio track of render.segment.
namespace AudioAnalysisMethods {

// What the composition root hands over; each side adds the services it
// builds once per engine.
struct Inputs {
    std::filesystem::path cacheRoot;
    std::shared_ptr<SourceLibrary> library;
    std::string engineVersion;
};

std::map<std::string, Job, std::less<>> table(const Inputs& inputs);

} // namespace AudioAnalysisMethods
} // namespace korvel
