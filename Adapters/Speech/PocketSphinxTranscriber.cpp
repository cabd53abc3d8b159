#include "Adapters/Speech/PocketSphinxTranscriber.hpp"

#include "Core/Speech/VoiceLanguage.hpp"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>

namespace korvel {

namespace fs = std::filesystem;

namespace {

constexpr int64_t windowSamples = 160; // 10 ms, the decoder's frame
constexpr int64_t blockSamples = 16'000;

struct DecoderDeleter {
    void operator()(ps_decoder_t* d) const { ps_free(d); }
};
struct ConfigDeleter {
    void operator()(cmd_ln_t* c) const { cmd_ln_free_r(c); }
};

EngineFailure unavailable() {
    return EngineFailure::unsupportedFormat("System speech recognition is not available on this computer.");
}

// Markers the decoder puts between words.
bool isWord(std::string_view w) {
    return !w.empty() && w != "<s>" && w != "</s>" && w != "<sil>" && !(w.front() == '[' && w.back() == ']') &&
           !(w.starts_with("++") && w.ends_with("++"));
}

// "read(2)" is the second pronunciation of "read".
std::string withoutVariant(std::string_view w) {
    if (w.size() > 3 && w.back() == ')') {
        if (auto open = w.rfind('('); open != std::string_view::npos && open > 0) return std::string(w.substr(0, open));
    }
    return std::string(w);
}

} // namespace

fs::path PocketSphinxTranscriber::defaultModelFolder() { return KORVEL_POCKETSPHINX_MODEL; }

PocketSphinxTranscriber::PocketSphinxTranscriber(fs::path modelFolder) : modelFolder(std::move(modelFolder)) {}

bool PocketSphinxTranscriber::available() const {
    // ps_init ends the process on a missing model file: check them first.
    std::error_code ec;
    for (const char* name : {"en-us/mdef", "en-us/means", "en-us/variances", "en-us/transition_matrices", "en-us/feat.params",
                             "en-us/noisedict", "en-us.lm.bin", "cmudict-en-us.dict"}) {
        if (!fs::is_regular_file(modelFolder / name, ec)) return false;
    }
    return true;
}

bool PocketSphinxTranscriber::supports(const std::string& language) {
    return available() && VoiceLanguage::plain(language) == "en";
}

std::vector<int64_t> PocketSphinxTranscriber::utteranceEnds(std::span<const float> samples) {
    const auto count = static_cast<int64_t>(samples.size());
    std::vector<int64_t> ends;
    int64_t start = 0;
    while (count - start > maximumUtteranceSamples) {
        int64_t best = start + maximumUtteranceSamples;
        double quietest = INFINITY;
        for (int64_t w = start + searchFromSamples; w + windowSamples <= start + maximumUtteranceSamples; w += windowSamples) {
            double energy = 0;
            for (int64_t i = w; i < w + windowSamples; ++i) energy += static_cast<double>(samples[static_cast<size_t>(i)]) * samples[static_cast<size_t>(i)];
            if (energy < quietest) {
                quietest = energy;
                best = w + windowSamples / 2;
            }
        }
        ends.push_back(best);
        start = best;
    }
    ends.push_back(count);
    return ends;
}

std::vector<RawWord> PocketSphinxTranscriber::transcribe(std::span<const float> samples, const std::string& language,
                                                        const JobContext& job) {
    if (!available()) throw unavailable();
    if (VoiceLanguage::plain(language) != "en") {
        throw EngineFailure::unsupportedFormat("System speech recognition does not handle " + language + ".");
    }
    static std::once_flag quiet;
    std::call_once(quiet, [] { err_set_logfp(nullptr); });

    const std::string hmm = (modelFolder / "en-us").string();
    const std::string lm = (modelFolder / "en-us.lm.bin").string();
    const std::string dict = (modelFolder / "cmudict-en-us.dict").string();
    std::unique_ptr<cmd_ln_t, ConfigDeleter> config(cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm", lm.c_str(),
                                                                "-dict", dict.c_str(), "-remove_silence", "no", "-logfn",
                                                                "/dev/null", nullptr));
    if (!config) throw unavailable();
    std::unique_ptr<ps_decoder_t, DecoderDeleter> decoder(ps_init(config.get()));
    if (!decoder) throw unavailable();

    // The decoder reads 16-bit samples, as a 16-bit file would hold them.
    std::vector<int16_t> pcm(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        pcm[i] = static_cast<int16_t>(std::lround(std::clamp(samples[i], -1.0f, 1.0f) * 32767.0f));
    }
    const auto durationUs = static_cast<int64_t>(static_cast<double>(samples.size()) / 16'000.0 * 1'000'000.0);
    logmath_t* logmath = ps_get_logmath(decoder.get());

    std::vector<RawWord> words;
    int64_t start = 0;
    for (int64_t end : utteranceEnds(samples)) {
        Task::checkCancellation();
        if (ps_start_utt(decoder.get()) < 0) throw unavailable();
        for (int64_t at = start; at < end; at += blockSamples) {
            Task::checkCancellation();
            const int64_t n = std::min(blockSamples, end - at);
            ps_process_raw(decoder.get(), pcm.data() + at, static_cast<size_t>(n), FALSE, FALSE);
        }
        ps_end_utt(decoder.get());
        const int64_t offsetUs = start * 1'000'000 / 16'000;
        for (ps_seg_t* seg = ps_seg_iter(decoder.get()); seg; seg = ps_seg_next(seg)) {
            const char* text = ps_seg_word(seg);
            if (!text || !isWord(text)) continue;
            int first = 0, last = 0;
            ps_seg_frames(seg, &first, &last);
            int32 ascr = 0, lscr = 0, lback = 0;
            const int32 probability = ps_seg_prob(seg, &ascr, &lscr, &lback);
            const double confidence = std::clamp(logmath_exp(logmath, probability), 0.0, 1.0);
            words.push_back({withoutVariant(text), offsetUs + int64_t{first} * 10'000, offsetUs + int64_t{last + 1} * 10'000,
                             confidence});
        }
        job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds,
                    std::min(durationUs, end * 1'000'000 / 16'000), durationUs});
        start = end;
    }
    return words;
}

} // namespace korvel
