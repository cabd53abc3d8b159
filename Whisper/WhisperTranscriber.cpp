#include "Whisper/WhisperTranscriber.hpp"

#include "Core/Speech/VoiceLanguage.hpp"
#include "WhisperBoundary/boundary.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stop_token>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace korvel {

namespace {

constexpr int64_t sampleRate = 16'000;

// Drops every library message: stderr carries only the engine's own lines.
void silenceOnce() {
    static std::once_flag once;
    std::call_once(once, [] { whisper_log_set([](ggml_log_level, const char*, void*) {}, nullptr); });
}

// One loaded model file; its lock keeps one call at a time on the context.
struct LoadedModel {
    std::mutex lock;
    whisper_context* context = nullptr;
};

// What the library's callbacks of one recognition share with its canceller.
struct Control {
    std::mutex lock;
    bool cancelled = false;
    const JobContext* job = nullptr;
    int64_t totalUs = 0;

    bool isCancelled() {
        std::lock_guard g(lock);
        return cancelled;
    }
};

// Runs the body on a new thread at the calling thread's scheduling priority
// (background jobs run lowered), with the cancel action installed on the
// calling task meanwhile.
template <class R> R onOwnThread(std::function<void()> cancel, std::function<R()> body) {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    std::optional<std::stop_callback<std::function<void()>>> handler;
    if (cancel) handler.emplace(Task::currentToken(), std::move(cancel));
    std::packaged_task<R()> task(std::move(body));
    auto result = task.get_future();
    std::thread thread([&task, nice] {
        if (nice > 0) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice);
        task();
    });
    thread.join();
    return result.get();
}

std::string withoutInvalidUTF8(std::string_view bytes) {
    std::string out;
    size_t i = 0;
    while (i < bytes.size()) {
        auto c = static_cast<unsigned char>(bytes[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        bool ok = n > 0 && i + n <= bytes.size();
        for (size_t k = 1; ok && k < n; ++k) ok = (static_cast<unsigned char>(bytes[i + k]) >> 6) == 0x2;
        if (ok) {
            out.append(bytes.substr(i, n));
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

std::shared_ptr<LoadedModel> load(const std::string& path) {
    auto model = onOwnThread<std::shared_ptr<LoadedModel>>({}, [&path] {
        silenceOnce();
        whisper_context_params params = whisper_context_default_params();
        params.use_gpu = true;
        char error[WhisperTranscriber::errorBufferSize] = {};
        whisper_context* context = korvel_whisper_init_from_file_with_params(path.c_str(), &params, error, sizeof error);
        if (!context) {
            std::string text = WhisperTranscriber::thrown(error);
            throw EngineFailure::internalError("Could not load the speech model" + (text.empty() ? "" : ": it threw " + text) +
                                               ".");
        }
        auto loaded = std::make_shared<LoadedModel>();
        loaded->context = context;
        return loaded;
    });
    if (Task::isCancelled()) {
        korvel_whisper_free(model->context);
        throw Cancelled();
    }
    return model;
}

// Frees the context on every way out of the operation that loaded it.
struct Freeing {
    std::shared_ptr<LoadedModel> model;
    ~Freeing() {
        if (model) korvel_whisper_free(model->context);
    }
};

void progressCallback(whisper_context*, whisper_state*, int percent, void* user) {
    if (!user) return;
    auto* control = static_cast<Control*>(user);
    control->job->report(WhisperTranscriber::progress(control->totalUs, percent));
}

bool encoderBeginCallback(whisper_context*, whisper_state*, void* user) {
    if (!user) return true;
    auto* control = static_cast<Control*>(user);
    control->job->giveWay();
    return !control->isCancelled();
}

bool abortCallback(void* user) {
    if (!user) return false;
    return static_cast<Control*>(user)->isCancelled();
}

std::vector<RawWord> wordsIn(whisper_context* context) {
    std::vector<RawWord> words;
    const int segments = whisper_full_n_segments(context);
    for (int i = 0; i < segments; ++i) {
        WhisperTranscriber::Segment segment;
        segment.text = whisper_full_get_segment_text(context, i);
        segment.t0 = whisper_full_get_segment_t0(context, i);
        segment.t1 = whisper_full_get_segment_t1(context, i);
        const int tokens = whisper_full_n_tokens(context, i);
        for (int k = 0; k < tokens; ++k) segment.tokenProbabilities.push_back(whisper_full_get_token_p(context, i, k));
        if (auto w = WhisperTranscriber::word(segment)) words.push_back(std::move(*w));
    }
    return words;
}

class Listener : public Transcriber {
public:
    Listener(std::shared_ptr<LoadedModel> model, std::string vadPath, bool englishOnly)
        : model_(std::move(model)), vadPath_(std::move(vadPath)), englishOnly_(englishOnly) {}

    TranscriberKind kind() const override { return TranscriberKind::whisperLargeV3; }
    bool supports(const std::string& language) override { return WhisperTranscriber::hears(language, englishOnly_); }

    std::vector<RawWord> transcribe(std::span<const float> samples, const std::string& language,
                                    const JobContext& job) override {
        if (static_cast<int64_t>(samples.size()) > WhisperTranscriber::maximumSamples) {
            throw EngineFailure::internalError("The recording is too long for the speech model.");
        }
        Control control;
        control.job = &job;
        control.totalUs = static_cast<int64_t>(static_cast<double>(samples.size()) / sampleRate * 1'000'000.0);
        const std::string plain = VoiceLanguage::plain(language);
        return onOwnThread<std::vector<RawWord>>(
            [&control] {
                std::lock_guard g(control.lock);
                control.cancelled = true;
            },
            [&]() -> std::vector<RawWord> {
                std::lock_guard held(model_->lock);
                if (control.isCancelled()) throw Cancelled();
                whisper_full_params params = whisper_full_default_params(WHISPER_SAMPLING_BEAM_SEARCH);
                params.greedy.best_of = 5;
                params.beam_search.beam_size = 5;
                params.translate = false;
                params.print_special = false;
                params.print_progress = false;
                params.print_realtime = false;
                params.print_timestamps = false;
                params.token_timestamps = true;
                params.max_len = 1;
                params.split_on_word = true;
                const bool english = plain == "en";
                params.initial_prompt = english ? WhisperTranscriber::initialPrompt.data() : nullptr;
                params.carry_initial_prompt = english;
                params.language = plain.c_str();
                params.vad = true;
                params.vad_model_path = vadPath_.c_str();
                params.vad_params = whisper_vad_default_params();
                params.progress_callback = progressCallback;
                params.progress_callback_user_data = &control;
                params.encoder_begin_callback = encoderBeginCallback;
                params.encoder_begin_callback_user_data = &control;
                params.abort_callback = abortCallback;
                params.abort_callback_user_data = &control;
                char error[WhisperTranscriber::errorBufferSize] = {};
                const int status = korvel_whisper_full(model_->context, &params, samples.data(),
                                                       static_cast<int32_t>(samples.size()), error, sizeof error);
                if (control.isCancelled()) throw Cancelled();
                if (status != 0) {
                    std::string text = WhisperTranscriber::thrown(error);
                    throw EngineFailure::internalError("The speech model failed with " +
                                                       (text.empty() ? "status " + std::to_string(status) : text) + ".");
                }
                return wordsIn(model_->context);
            });
    }

    std::optional<LanguageGuess> languageHeard(std::span<const float> samples) override {
        return onOwnThread<std::optional<LanguageGuess>>({}, [&]() -> std::optional<LanguageGuess> {
            std::lock_guard held(model_->lock);
            if (!whisper_is_multilingual(model_->context) || samples.empty()) return std::nullopt;
            if (static_cast<int64_t>(samples.size()) > WhisperTranscriber::maximumSamples) {
                throw EngineFailure::internalError("The recording is too long for the speech model.");
            }
            const int threads = whisper_full_default_params(WHISPER_SAMPLING_GREEDY).n_threads;
            char error[WhisperTranscriber::errorBufferSize] = {};
            float probability = 0;
            const int id = korvel_whisper_detect_language(model_->context, samples.data(), static_cast<int32_t>(samples.size()),
                                                          threads, &probability, error, sizeof error);
            if (std::string text = WhisperTranscriber::thrown(error); !text.empty()) {
                throw EngineFailure::internalError("The speech model failed with " + text + ".");
            }
            if (id < 0) return std::nullopt;
            const char* name = whisper_lang_str(id);
            if (!name) return std::nullopt;
            return LanguageGuess{name, static_cast<double>(probability)};
        });
    }

private:
    std::shared_ptr<LoadedModel> model_;
    std::string vadPath_;
    bool englishOnly_;
};

} // namespace

WhisperTranscriber::WhisperTranscriber(std::string modelPath, std::string vadPath, bool englishOnly)
    : modelPath(std::move(modelPath)), vadPath(std::move(vadPath)), englishOnly(englishOnly) {}

bool WhisperTranscriber::hears(std::string_view language, bool englishOnly) {
    silenceOnce();
    const std::string plain = VoiceLanguage::plain(language);
    if (englishOnly) return plain == "en";
    return whisper_lang_id(plain.c_str()) >= 0;
}

bool WhisperTranscriber::supports(const std::string& language) { return hears(language, englishOnly); }

std::vector<RawWord> WhisperTranscriber::transcribe(std::span<const float> samples16k, const std::string& language,
                                                    const JobContext& job) {
    // Refused before the model file is read: the library takes 32-bit counts.
    if (static_cast<int64_t>(samples16k.size()) > maximumSamples) {
        throw EngineFailure::internalError("The recording is too long for the speech model.");
    }
    Freeing model{load(modelPath)};
    Listener listener(model.model, vadPath, englishOnly);
    return listener.transcribe(samples16k, language, job);
}

void WhisperTranscriber::listening(const std::function<void(Transcriber&)>& body) {
    Freeing model{load(modelPath)};
    Listener listener(model.model, vadPath, englishOnly);
    body(listener);
}

std::optional<LanguageGuess> WhisperTranscriber::languageHeard(std::span<const float> samples16k) {
    if (englishOnly) return std::nullopt;
    if (static_cast<int64_t>(samples16k.size()) > maximumSamples) {
        throw EngineFailure::internalError("The recording is too long for the speech model.");
    }
    Freeing model{load(modelPath)};
    Listener listener(model.model, vadPath, englishOnly);
    return listener.languageHeard(samples16k);
}

std::optional<RawWord> WhisperTranscriber::word(const Segment& segment) {
    if (!segment.text) return std::nullopt;
    std::string_view text(segment.text);
    const char* space = " \t\n\r\v\f";
    const auto first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return std::nullopt;
    text = text.substr(first, text.find_last_not_of(space) - first + 1);
    if ((text.front() == '[' && text.back() == ']') || (text.front() == '(' && text.back() == ')') || text.starts_with("<|")) {
        return std::nullopt;
    }
    std::optional<double> confidence;
    if (!segment.tokenProbabilities.empty()) {
        double sum = 0;
        for (float p : segment.tokenProbabilities) sum += static_cast<double>(p);
        confidence = std::min(1.0, sum / static_cast<double>(segment.tokenProbabilities.size()));
    }
    return RawWord{std::string(text), segment.t0 * 10'000, segment.t1 * 10'000, confidence};
}

EngineProgress WhisperTranscriber::progress(int64_t totalUs, int percent) {
    const int64_t p = std::clamp(percent, 0, 100);
    return {EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds, totalUs * p / 100, totalUs};
}

std::string WhisperTranscriber::thrown(const char (&buffer)[errorBufferSize]) {
    const size_t n = strnlen(buffer, errorBufferSize);
    return withoutInvalidUTF8(std::string_view(buffer, n));
}

} // namespace korvel
