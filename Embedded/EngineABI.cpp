#include "Embedded/EngineABI.h"

#include "Embedded/EngineAssembly.hpp"

struct korvel_engine {
    std::unique_ptr<korvel::InProcessEngine> engine;
};

extern "C" {

korvel_engine* korvel_engine_open(const char* cache_dir, const char* models_dir) {
    using namespace korvel;
    return new korvel_engine{EngineAssembly::inProcess(cache_dir ? cache_dir : "", models_dir ? models_dir : "",
                                                       EngineSpeech::standard())};
}

void korvel_engine_on_line(korvel_engine* engine, korvel_line_callback callback, void* context) {
    if (!engine) return;
    if (!callback) {
        engine->engine->onLine({});
        return;
    }
    engine->engine->onLine([callback, context](std::string_view line) { callback(context, line.data(), line.size()); });
}

int korvel_engine_send(korvel_engine* engine, const char* line, size_t length) {
    if (!engine || (!line && length)) return -1;
    try {
        engine->engine->send(std::string_view(line ? line : "", length));
        return 0;
    } catch (...) {
        return -1;
    }
}

int korvel_engine_stop(korvel_engine* engine) { return engine && engine->engine->stop() ? 1 : 0; }

void korvel_engine_close(korvel_engine* engine) { delete engine; }

} // extern "C"
