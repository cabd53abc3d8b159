/* The in-process engine for hosts written in other languages: raw JSON-RPC
 * lines in and out, one message per call. Lines handed in carry no line
 * terminator; lines handed out end with one line feed. */
#ifndef KORVEL_ENGINE_ABI_H
#define KORVEL_ENGINE_ABI_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct korvel_engine korvel_engine;

/* Called on the engine's threads, one line at a time; the bytes are valid
 * only during the call. Lines sent from inside it are answered after it. */
typedef void (*korvel_line_callback)(void* context, const char* line, size_t length);

/* The in-process engine with render.live; never null. */
korvel_engine* korvel_engine_open(const char* cache_dir, const char* models_dir);
/* Replaces the line listener; a null callback drops every line. */
void korvel_engine_on_line(korvel_engine* engine, korvel_line_callback callback, void* context);
/* 0 when the line was handed over, -1 when its answer could not be written. */
int korvel_engine_send(korvel_engine* engine, const char* line, size_t length);
/* Cancels every running job and waits up to 5 seconds; 1 when all ended. */
int korvel_engine_stop(korvel_engine* engine);
/* Stops the engine and frees it. */
void korvel_engine_close(korvel_engine* engine);

#ifdef __cplusplus
}
#endif

#endif
