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
    // Only the best attempt's numbers are kept; its buffer is made again at
    // the end, so two limited copies of a long mix never live at once.
    std::optional<Result> best;
    double bestError = 0;
    for (int attempt = 0; attempt < 6; ++attempt) {
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
            best = Result{PCMAudio(), lufs, peak, gain, candidate.reductionDb, false};
            bestError = error;
        }
        gain += targetLufs - lufs;
    }
    best->buffer = TruePeakLimiter::apply(audio.scaled(best->gainDb), ceilingDb).buffer;
    return std::move(*best);
}

Streamed normalize(const PCMSources::Source& audio, double targetLufs, double ceilingDb, const PCMStores& stores) {
    const double measured = Loudness::integrated(*audio);
    if (measured <= Loudness::silenceLufs) return {audio, {PCMAudio(), measured, TruePeak::measureDb(*audio), 0, 0, false}};

    double gain = targetLufs - measured;
    std::optional<Streamed> best;
    double bestError = 0;
    for (int attempt = 0; attempt < 6; ++attempt) {
        TruePeakLimiter::Streamed candidate =
            TruePeakLimiter::apply(PCMSources::scaled(audio, gain), ceilingDb, stores);
        const double lufs = Loudness::integrated(*candidate.buffer);
        const double error = std::fabs(lufs - targetLufs);
        if (error <= toleranceLu) {
            const double peak = TruePeak::measureDb(*candidate.buffer);
            return {candidate.buffer, {PCMAudio(), lufs, peak, gain, candidate.reductionDb, true}};
        }
        if (!best || error < bestError) {
            const double peak = TruePeak::measureDb(*candidate.buffer);
            // The best attempt keeps its gain curve, so it is not made again.
            best = Streamed{candidate.buffer, {PCMAudio(), lufs, peak, gain, candidate.reductionDb, false}};
            bestError = error;
        }
        gain += targetLufs - lufs;
    }
    return std::move(*best);
}

} // namespace korvel::LoudnessNormalizer
