#include "WhisperBoundary/boundary.h"

#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <exception>
#include <memory>
#include <typeinfo>
#include <vector>

namespace {

// The demangled type name of the exception being handled.
void describeCurrent(char* error, size_t errorSize) {
    if (!error || errorSize == 0) return;
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (!type) {
        std::snprintf(error, errorSize, "%s", "an exception of no known type");
        return;
    }
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type->name(), nullptr, nullptr, &status), std::free);
    std::snprintf(error, errorSize, "%s", status == 0 && name ? name.get() : type->name());
}

} // namespace

extern "C" {

whisper_context* korvel_whisper_init_from_file_with_params(const char* path, const whisper_context_params* params,
                                                           char* error, size_t errorSize) {
    try {
        return whisper_init_from_file_with_params(path, *params);
    } catch (...) {
        describeCurrent(error, errorSize);
        return nullptr;
    }
}

int korvel_whisper_full(whisper_context* context, const whisper_full_params* params, const float* samples,
                        int32_t count, char* error, size_t errorSize) {
    try {
        return whisper_full(context, *params, samples, count);
    } catch (...) {
        describeCurrent(error, errorSize);
        return KORVEL_WHISPER_THREW;
    }
}

int korvel_whisper_detect_language(whisper_context* context, const float* samples, int32_t count, int threads,
                                   float* probability, char* error, size_t errorSize) {
    try {
        if (whisper_pcm_to_mel(context, samples, count, threads) != 0) return -1;
        std::vector<float> probabilities(static_cast<size_t>(whisper_lang_max_id() + 1), 0.0f);
        int id = whisper_lang_auto_detect(context, 0, threads, probabilities.data());
        if (probability && id >= 0) *probability = probabilities[static_cast<size_t>(id)];
        return id;
    } catch (...) {
        describeCurrent(error, errorSize);
        return KORVEL_WHISPER_THREW;
    }
}

void korvel_whisper_free(whisper_context* context) {
    try {
        whisper_free(context);
    } catch (...) {
    }
}

} // extern "C"
