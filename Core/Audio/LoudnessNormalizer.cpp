#include "Core/Audio/LoudnessNormalizer.hpp"

#include "Core/Audio/LoudnessProfile.hpp"
#include "Core/Audio/TruePeak.hpp"
#include "Core/Audio/TruePeakLimiter.hpp"

#include <cmath>
#include <optional>

namespace korvel::LoudnessNormalizer {

Result normalize(const PCMAudio& audio, double targetLufs, double ceilingDb) {
    const double measured = Loudness::integrated(audio);
    if (measured <= Loudness::silenceLufs) return {audio, measured, TruePeak::measureDb(audio), 0, 0, false};

    double gain = targetLufs - measured;
    std::optional<Result> best;
    double bestError = 0;
    for (int attempt = 0; attempt < 6; ++attempt) {
        // The best attempt so far is kept only while the next can still beat it.
        TruePeakLimiter::Output candidate = TruePeakLimiter::apply(audio.scaled(gain), ceilingDb);
        candidate.gain = {};
        const double lufs = Loudness::integrated(candidate.buffer);
        const double error = std::fabs(lufs - targetLufs);
        if (error <= toleranceLu) {
            const double peak = TruePeak::measureDb(candidate.buffer);
            return {std::move(candidate.buffer), lufs, peak, gain, candidate.reductionDb, true};
        }
        if (!best || error < bestError) {
            const double peak = TruePeak::measureDb(candidate.buffer);
            best = Result{std::move(candidate.buffer), lufs, peak, gain, candidate.reductionDb, false};
            bestError = error;
        }
        gain += targetLufs - lufs;
    }
    return std::move(*best);
}

} // namespace korvel::LoudnessNormalizer
