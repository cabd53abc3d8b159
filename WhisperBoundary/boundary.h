#ifndef KORVEL_WHISPER_BOUNDARY_H
#define KORVEL_WHISPER_BOUNDARY_H

/* The few whisper calls that can throw, behind a plain C interface: an
 * exception inside the library never reaches the engine; it becomes a status
 * and a text in the caller's buffer. */

#include <stddef.h>
#include <stdint.h>

#include "whisper.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The status of a call that ended in an exception. */
#define KORVEL_WHISPER_THREW (-100000)

struct whisper_context* korvel_whisper_init_from_file_with_params(const char* path,
                                                                   const struct whisper_context_params* params,
                                                                   char* error, size_t errorSize);
int korvel_whisper_full(struct whisper_context* context, const struct whisper_full_params* params,
                        const float* samples, int32_t count, char* error, size_t errorSize);
/* The language id heard in the samples (negative when none); the probability
 * of that language goes to *probability when it is not null. */
int korvel_whisper_detect_language(struct whisper_context* context, const float* samples, int32_t count,
                                   int threads, float* probability, char* error, size_t errorSize);
void korvel_whisper_free(struct whisper_context* context);

#ifdef __cplusplus
}
#endif

#endif
