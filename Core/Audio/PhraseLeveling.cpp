#include "Core/Audio/PhraseLeveling.hpp"

#include <algorithm>
#include <optional>

namespace korvel::PhraseLeveling {

std::vector<double> gains(const std::vector<MeasuredPhrase>& phrases, double targetLufs) {
    const size_t n = phrases.size();
    std::vector<std::optional<double>> own(n);
    for (size_t i = 0; i < n; ++i) {
        const MeasuredPhrase& p = phrases[i];
        // Client times: their difference must not overflow.
        const __int128 length = static_cast<__int128>(p.endUs) - p.startUs;
        if (length >= minimumPhraseUs) own[i] = std::clamp(targetLufs - p.lufs, -maximumGainDb, maximumGainDb);
    }
    // A short phrase takes the nearest measured one before it, else the nearest after it.
    std::vector<std::optional<double>> after(n);
    for (size_t i = n; i-- > 0;) after[i] = own[i] ? own[i] : (i + 1 < n ? after[i + 1] : std::nullopt);
    std::vector<double> out(n, 0.0);
    std::optional<double> before;
    for (size_t i = 0; i < n; ++i) {
        if (own[i]) {
            out[i] = *own[i];
            before = own[i];
        } else if (before) {
            out[i] = *before;
        } else if (after[i]) {
            out[i] = *after[i];
        }
    }
    return out;
}

} // namespace korvel::PhraseLeveling
