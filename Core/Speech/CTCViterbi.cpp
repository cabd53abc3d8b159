#include "Core/Speech/CTCViterbi.hpp"

#include <limits>

namespace korvel::CTCViterbi {

namespace {
bool wellFormed(const CTCEmissions& e) {
    return e.frames >= 0 && e.vocabulary >= 0 && static_cast<int64_t>(e.values.size()) >= e.frames * e.vocabulary;
}
} // namespace

std::optional<std::vector<int64_t>> align(const CTCEmissions& emissions, std::span<const int> ids, int blank) {
    const auto n = static_cast<int64_t>(ids.size());
    const int64_t frames = emissions.frames;
    const int64_t width = emissions.vocabulary;
    if (n == 0 || frames < n || !wellFormed(emissions)) return std::nullopt;
    // A token the model does not score cannot be placed.
    if (blank < 0 || blank >= width) return std::nullopt;
    for (int id : ids)
        if (id < 0 || id >= width) return std::nullopt;

    const float* v = emissions.values.data();
    auto b = [&](int64_t t) { return v[t * width + blank]; };
    auto p = [&](int64_t t, int64_t j) { return v[t * width + ids[static_cast<size_t>(j)]]; };
    const int64_t stride = n + 1;
    std::vector<float> score(static_cast<size_t>((frames + 1) * stride), -std::numeric_limits<float>::infinity());
    auto at = [&](int64_t t, int64_t j) -> float& { return score[static_cast<size_t>(t * stride + j)]; };

    at(0, 0) = 0;
    for (int64_t t = 0; t < frames; ++t) {
        const float blankValue = b(t);
        at(t + 1, 0) = at(t, 0) + blankValue;
        for (int64_t j = 1; j <= n; ++j) {
            const float stay = at(t, j) + blankValue;
            const float advance = at(t, j - 1) + p(t, j - 1);
            at(t + 1, j) = stay <= advance ? advance : stay;
        }
    }

    std::vector<int64_t> path(static_cast<size_t>(n));
    int64_t j = n;
    for (int64_t t = frames; t > 0 && j > 0; --t) {
        const float stay = at(t - 1, j) + b(t - 1);
        const float advance = at(t - 1, j - 1) + p(t - 1, j - 1);
        if (stay <= advance) path[static_cast<size_t>(--j)] = t - 1;
    }
    if (j > 0) return std::nullopt;
    return path;
}

std::string greedy(const CTCEmissions& emissions, const CTCVocabulary& vocabulary) {
    std::string text;
    if (!wellFormed(emissions)) return text;
    const int64_t width = emissions.vocabulary;
    int64_t previous = -1;
    for (int64_t t = 0; t < emissions.frames; ++t) {
        const float* row = emissions.values.data() + t * width;
        int64_t best = 0;
        float bestValue = -std::numeric_limits<float>::infinity();
        for (int64_t id = 0; id < width; ++id)
            if (row[id] > bestValue) best = id, bestValue = row[id];
        if (best != previous && best != vocabulary.blank) {
            if (std::optional<std::string> letter = vocabulary.letter(static_cast<int>(best))) text += *letter;
        }
        previous = best;
    }
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

} // namespace korvel::CTCViterbi
