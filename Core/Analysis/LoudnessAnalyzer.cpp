#include "Core/Analysis/LoudnessAnalyzer.hpp"

#include "Core/Analysis/SilenceDetector.hpp"
#include "Core/Audio/LoudnessProfile.hpp"
#include "Core/Audio/PhraseLeveling.hpp"
#include "Core/Audio/TruePeak.hpp"

#include <algorithm>

namespace korvel::LoudnessAnalyzer {

LoudnessReading analyze(const PCMAudio& audio) {
    const LoudnessProfile profile(audio);

    const std::vector<float> mono = audio.monoMix();
    const std::vector<double> levels = SilenceDetector::windowLevels(mono, SilenceDetector::windowFrames);
    const int64_t monoDurationUs = PCMAudio::microseconds(static_cast<int64_t>(mono.size()));
    const SilenceDetector::Result silences = SilenceDetector::analyze(levels, monoDurationUs);
    const std::vector<SpeechRegion> regions =
        SilenceDetector::speechRegions(silences.runs, audio.durationUs(), phrasePauseUs);

    std::vector<MeasuredPhrase> measured;
    measured.reserve(regions.size());
    for (const SpeechRegion& region : regions) {
        const double lufs = profile.lufs(PCMAudio::frames(region.startUs), PCMAudio::frames(region.endUs));
        measured.push_back({region.startUs, region.endUs, lufs});
    }
    const std::vector<double> gains = PhraseLeveling::gains(measured, VoiceLevel::targetLufs);

    LoudnessReading reading;
    reading.integratedLufs = profile.integrated();
    reading.truePeakDb = TruePeak::measureDb(audio);
    const size_t count = std::min(measured.size(), gains.size());
    for (size_t i = 0; i < count; ++i)
        reading.phrases.push_back({measured[i].startUs, measured[i].endUs, measured[i].lufs, gains[i]});
    return reading;
}

} // namespace korvel::LoudnessAnalyzer
