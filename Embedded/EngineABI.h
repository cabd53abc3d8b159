/* The in-process engine for hosts written in other languages: raw JSON-RPC
 * lines in and out, one message per call. Lines handed in carry no line
 * terminator; lines handed out end with one line feed. Start the host with
 * OMP_WAIT_POLICY=PASSIVE in its environment: the speech model's OpenMP
 * workers otherwise spin while they wait, and libgomp reads it only once. */
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

/* The in-process engine with render.live; never null. A NULL or empty folder
 * is the process's default: $XDG_CACHE_HOME/korvel-engine (else
 * ~/.cache/korvel-engine) and $XDG_DATA_HOME/korvel-engine/models (else
 * ~/.local/share/korvel-engine/models). */
korvel_engine* korvel_engine_open(const char* cache_dir, const char* models_dir);
/* Replaces the line listener; a null callback drops every line. Returns only
 * when no call of the old callback is running, so its context may be freed
 * then; called from inside the old callback it returns at once (the running
 * call is the caller's own). Don't call it holding a lock the old callback
 * takes. */
void korvel_engine_on_line(korvel_engine* engine, korvel_line_callback callback, void* context);
/* 0 when the line was handed over, -1 when its answer could not be written. */
int korvel_engine_send(korvel_engine* engine, const char* line, size_t length);
/* Cancels every running job and waits up to 5 seconds; 1 when all ended.
 * From inside the callback it waits only for jobs not writing a line (one of
 * those runs the caller). */
int korvel_engine_stop(korvel_engine* engine);
/* Stops the engine and frees it; never from inside the callback. */
void korvel_engine_close(korvel_engine* engine);

#ifdef __cplusplus
}
#endif

#endif
