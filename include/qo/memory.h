/* qo's checked memory and text building: calls that never hand a failure
 * back. Part of <qo.h>. */
#ifndef QO_MEMORY_H
#define QO_MEMORY_H

#include "common.h"
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Checked memory and text building ---------------------------------- */

/* Release the string in *slot and set it to NULL. An empty slot, or a NULL
 * slot, is tolerated: a level-8 line, nothing else. */
QO_API void qo_free(char **slot, int line, const char *file) QO_NOEXCEPT;

/* size bytes, not cleared, never NULL (size 0 gives a 1-byte block).
 * Release with free() or through a slot with qo_free(). Ends the process
 * when memory runs out. */
QO_API void *qo_malloc(size_t size, int line, const char *file) QO_NOEXCEPT;

/* Format into a fresh string stored in *slot and return its length.
 * Whatever *slot held is overwritten, not released: pass an empty slot.
 * Ends the process when formatting fails. */
QO_API int qo_asprintf(char **slot, int line, const char *file, const char *format,
                       ...) QO_NOEXCEPT QO_PRINTF(4, 5);

/* Read one line, line feed included when the input has one, into a fresh
 * string in *slot and return its length. A string still in the slot is
 * released first (with a level-1 line). At end of input the slot holds ""
 * and 0 is returned. A read cut short by a signal (EINTR) is taken up again
 * and the bytes already read are kept: only whole lines come back, or the
 * last one without a line feed when the input ends so. Ends the process on
 * any other read error, even in the middle of a line, or a memory error. */
QO_API ssize_t qo_getline_int(char **slot, FILE *stream, int line,
                              const char *file) QO_NOEXCEPT;

/* setenv(name, value, 1); returns 0. Ends the process when name or value
 * is NULL or the environment refuses (a name with '=', say). */
QO_API int qo_setenv_int(const char *name, const char *value, int line,
                         const char *file) QO_NOEXCEPT;

/* Append formatted text to the string in *slot (an empty slot receives the
 * text). The slot may then hold a new pointer: the old one is no longer
 * valid. A NULL format does nothing. Ends the process when slot is NULL or
 * memory runs out. */
QO_API void qo_strcat_int(char **slot, int line, const char *file, const char *format,
                          ...) QO_NOEXCEPT QO_PRINTF(4, 5);

/* Release the string in *slot (an empty slot is fine and silent), then
 * format anew into it as qo_asprintf() does and return its length. */
QO_API int qo_str_reset_int(char **slot, int line, const char *file, const char *format,
                            ...) QO_NOEXCEPT QO_PRINTF(4, 5);

/* The fronts: fill in the caller's call site. */
#define qo_malloc(size) (qo_malloc)((size), __LINE__, __FILE__)
#define qo_asprintf(slot, ...) (qo_asprintf)((slot), __LINE__, __FILE__, __VA_ARGS__)
#define qo_free(slot) (qo_free)((slot), __LINE__, __FILE__)
#define qo_getline(slot, stream) qo_getline_int((slot), (stream), __LINE__, __FILE__)
#define qo_setenv(name, value) qo_setenv_int((name), (value), __LINE__, __FILE__)
#define qo_strcat(slot, ...) qo_strcat_int((slot), __LINE__, __FILE__, __VA_ARGS__)
#define qo_str_reset(slot, ...)                                                        \
    qo_str_reset_int((slot), __LINE__, __FILE__, __VA_ARGS__)

#ifdef __cplusplus
}
#endif

#endif /* QO_MEMORY_H */
