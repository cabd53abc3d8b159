#include "Core/Speech/CTCAligner.hpp"

#include "Core/Analysis/SilenceDetector.hpp"
#include "Core/Speech/CTCViterbi.hpp"
#include "Core/Speech/Characters.hpp"
#include "Core/Speech/SpokenForm.hpp"

#include <algorithm>

namespace korvel {

namespace {
constexpr int64_t chunkGapUs = 450'000;
constexpr int64_t windowMarginUs = 350'000;
constexpr int64_t nextStartSlackUs = 150'000;
constexpr int64_t shortestWindowSamples = 800;

bool endsWithStop(const std::string& text) {
    const std::vector<std::string> characters = Characters::split(text);
    if (characters.empty()) return false;
    const std::string& last = characters.back();
    return last == "." || last == "?" || last == "!";
}

// Nearest sample, halves away from zero.
int64_t sampleAt(int64_t us) {
    return us >= 0 ? (us * 16 + 500) / 1000 : -((-us * 16 + 500) / 1000);
}

void append(CTCAligner::Placement& to, CTCAligner::Placement&& from) {
    to.words.insert(to.words.end(), std::make_move_iterator(from.words.begin()), std::make_move_iterator(from.words.end()));
    to.placed.insert(to.placed.end(), from.placed.begin(), from.placed.end());
    to.letterLogProbability.insert(to.letterLogProbability.end(), from.letterLogProbability.begin(),
                                   from.letterLogProbability.end());
}
} // namespace

CTCAligner::CTCAligner(std::shared_ptr<EmissionModel> model, int64_t maximumShiftUs)
    : model(std::move(model)), maximumShiftUs(maximumShiftUs) {}

std::vector<std::vector<RawWord>> CTCAligner::chunks(std::span<const RawWord> words) {
    std::vector<std::vector<RawWord>> result;
    std::vector<RawWord> current;
    for (const RawWord& word : words) {
        if (!current.empty()) {
            const RawWord& previous = current.back();
            if (endsWithStop(previous.text) || word.startUs - previous.endUs > chunkGapUs ||
                word.endUs - current.front().startUs > maximumChunkUs) {
                result.push_back(std::move(current));
                current.clear();
            }
        }
        current.push_back(word);
    }
    if (!current.empty()) result.push_back(std::move(current));
    return result;
}

std::vector<RawWord> CTCAligner::align(std::span<const RawWord> words, std::span<const float> samples16k,
                                       const JobContext& job) const {
    return place(words, samples16k, 0, std::nullopt, job).words;
}

CTCAligner::Placement CTCAligner::place(std::span<const RawWord> words, std::span<const float> samples16k,
                                        int64_t previousEndUs, std::optional<int64_t> nextStartUs,
                                        const JobContext& job) const {
    const std::vector<std::vector<RawWord>> pieces = chunks(words);
    // Only where silences end matters: a window may stop at the pause before the next words.
    const std::vector<double> levels = SilenceDetector::windowLevels(samples16k, 160);
    const auto durationUs = static_cast<int64_t>(samples16k.size()) * 1'000'000 / 16'000;
    const std::vector<SilenceRun> silences = SilenceDetector::analyze(levels, durationUs).runs;

    Placement result;
    const auto total = static_cast<int64_t>(pieces.size());
    for (int64_t k = 0; k < total; ++k) {
        Task::checkCancellation();
        job.giveWay();
        const std::vector<RawWord>& chunk = pieces[static_cast<size_t>(k)];
        const int64_t lower = result.words.empty() ? previousEndUs : result.words.back().endUs;
        const std::optional<int64_t> next =
            k + 1 < total ? std::optional<int64_t>(pieces[static_cast<size_t>(k + 1)].front().startUs) : nextStartUs;

        int64_t windowEnd = chunk.back().endUs + windowMarginUs;
        if (next) {
            windowEnd = std::min(windowEnd, *next + nextStartSlackUs);
            for (const SilenceRun& run : silences) {
                if (run.endUs >= *next - nextStartSlackUs && run.endUs <= *next + nextStartSlackUs) {
                    windowEnd = std::min(windowEnd, run.endUs);
                    break;
                }
            }
        }
        const int64_t windowStart = std::max<int64_t>({chunk.front().startUs - windowMarginUs, lower, 0});
        windowEnd = std::max(windowEnd, windowStart);

        append(result, alignChunk(chunk, windowStart, windowEnd, samples16k));
        job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::items, k + 1, total});
    }
    Task::checkCancellation();
    return result;
}

CTCAligner::Placement CTCAligner::alignChunk(std::span<const RawWord> words, int64_t windowStartUs, int64_t windowEndUs,
                                             std::span<const float> samples16k) const {
    const CTCVocabulary& vocabulary = model->vocabulary();
    std::vector<std::vector<int>> letters;
    Placement placement;
    for (const RawWord& word : words) {
        letters.push_back(vocabulary.ids(SpokenForm::english(word.text)));
        placement.words.push_back(word);
        placement.placed.push_back(letters.back().empty());
        placement.letterLogProbability.emplace_back();
    }

    const int64_t first = sampleAt(windowStartUs);
    const int64_t end = std::min(static_cast<int64_t>(samples16k.size()), sampleAt(windowEndUs));
    if (end - first < shortestWindowSamples) return placement;

    // A separator between words, or between the spoken words of one word, belongs to no word.
    std::vector<int> tokens;
    std::vector<int64_t> owners;
    for (size_t w = 0; w < words.size(); ++w) {
        if (letters[w].empty()) continue;
        if (!tokens.empty()) {
            tokens.push_back(vocabulary.separator);
            owners.push_back(-1);
        }
        for (int id : letters[w]) {
            tokens.push_back(id);
            owners.push_back(id == vocabulary.separator ? -1 : static_cast<int64_t>(w));
        }
    }
    if (tokens.empty()) return placement;

    const CTCEmissions emissions =
        model->logProbabilities(samples16k.subspan(static_cast<size_t>(first), static_cast<size_t>(end - first)), windowStartUs);
    const std::optional<std::vector<int64_t>> path = CTCViterbi::align(emissions, tokens, vocabulary.blank);
    if (!path) return placement;

    struct Frames {
        int64_t first = -1;
        int64_t last = -1;
        double sum = 0;
        int64_t count = 0;
    };
    std::vector<Frames> frames(words.size());
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (owners[i] < 0) continue;
        Frames& f = frames[static_cast<size_t>(owners[i])];
        const int64_t frame = (*path)[i];
        if (f.first < 0) f.first = frame;
        f.last = frame;
        f.sum += double(emissions.values[static_cast<size_t>(frame * emissions.vocabulary + tokens[i])]);
        f.count += 1;
    }

    for (size_t w = 0; w < words.size(); ++w) {
        const Frames& f = frames[w];
        if (f.count == 0) continue;
        const int64_t start = windowStartUs + f.first * CTCEmissions::stepUs;
        const int64_t stop = windowStartUs + (f.last + 1) * CTCEmissions::stepUs;
        RawWord& word = placement.words[w];
        if (start < word.startUs - maximumShiftUs || stop > word.endUs + maximumShiftUs) continue;
        word.startUs = start;
        word.endUs = stop;
        const double mean = f.sum / double(f.count);
        placement.letterLogProbability[w] = mean;
        placement.placed[w] = mean >= minimumLetterLogProbability;
    }
    return placement;
}

} // namespace korvel
