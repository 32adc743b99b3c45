/*
 * qo: checked memory, a debug log, a fatal exit, string helpers and a
 * shell command runner for Linux programs.
 *
 * Calls that allocate never hand a failure back: when the C library
 * refuses, they write a level-1 line to the debug log, print a one-line
 * message on standard error and end the process through qo_exit(). The log
 * line names the caller's file and line for the routines that take a call
 * site (those with a macro front below); the string helpers take none and
 * name this library's own source file. Callers use every result without
 * testing it.
 *
 * A NULL where a routine needs a slot, a stream, a format or a text ends the
 * process the same way, with a line naming the routine and the argument:
 * "qo_shell_quote: NULL input". The routines that accept NULL say so.
 *
 * Strings travel through "slots": the address of the caller's char *
 * variable. A routine that produces text stores a fresh heap string in the
 * slot; the caller owns it from then on and gives it back with qo_free(),
 * which also sets the variable to NULL. Start every slot as NULL.
 *
 * Most routines take the caller's call site (line, file). Use the macro
 * fronts below, which fill it in from __LINE__ and __FILE__.
 */
#ifndef QO_H
#define QO_H

#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

#ifdef __cplusplus
#define QO_NOEXCEPT noexcept
extern "C" {
#else
#define QO_NOEXCEPT
#endif

/* The shared library exports only what is marked so. */
#define QO_API __attribute__((visibility("default")))
#define QO_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#define QO_NORETURN __attribute__((noreturn))

/* The version of this header. The build takes the project's version from
 * here, so it is the one place to change it. */
#define QO_VERSION_MAJOR 1
#define QO_VERSION_MINOR 1
#define QO_VERSION_PATCH 0
#define QO_VERSION "1.1.0"

/* The version of the library linked in, as QO_VERSION reads: a program
 * built against one header and run against another shared library can
 * tell the two apart. */
QO_API const char *qo_version(void) QO_NOEXCEPT;

/* ---- Debug log ---------------------------------------------------------
 * One log per process. Until qo_log_open() succeeds every entry is dropped.
 * An entry of level L is written when L <= the current level: levels <= 0
 * as "INFO: message", levels >= 1 as "DBGL: file->routine#line: message".
 * The log reports its own troubles on standard error and never ends the
 * process: entries that cannot be written (a full disk, an I/O error) are
 * reported with the log's path, and a log on a pipe whose reader has gone
 * is turned off with one such line, without SIGPIPE.
 *
 * Threads: any thread may log; each entry is written whole, and opening,
 * closing or setting the level is safe while other threads write.
 * Entries are buffered: they reach the file when the buffer fills, at
 * qo_log_close(), before fork(), before qo_system() runs its command, and
 * when the process ends through exit(), a return from main or qo_exit().
 * A fork() child starts with an empty buffer, so no entry is written twice.
 * A crash (abort(), SIGSEGV) loses the buffered entries: see
 * qo_log_flush_on().
 *
 * Signal handlers: qo_log_set_level(), qo_log_flush_on() and qo_exit() may
 * be called from one; the other log routines may not. */

/* Open (append to, or create) the log at path and set the level. A log
 * already open is closed first. On failure (NULL path included) the log
 * stays off. A slow open, such as a FIFO nobody reads yet, holds up only
 * the caller. */
QO_API void qo_log_open(const char *path, int level) QO_NOEXCEPT;

/* Flush and close the log; the level goes back to 0. Safe when closed. */
QO_API void qo_log_close(void) QO_NOEXCEPT;

/* Set the level, whether or not a log is open. */
QO_API void qo_log_set_level(int level) QO_NOEXCEPT;

/* From now on, an entry of level <= level is written to the file at once,
 * so that the last words before a crash are kept. By default nothing is
 * (INT_MIN stands for that). Kept across qo_log_close() and qo_log_open(). */
QO_API void qo_log_flush_on(int level) QO_NOEXCEPT;

/* Write one entry on behalf of the call site (line, file, routine). */
QO_API void qo_log_int(int level, int line, const char *file, const char *routine,
                       const char *format, ...) QO_NOEXCEPT QO_PRINTF(5, 6);

/* ---- Fatal exit ---------------------------------------------------------
 * Runs qo_exit_hook (once, even if the hook itself ends up in qo_exit),
 * prints message and a line feed on standard error when message is not
 * NULL, closes the log and exits with status (-1 reaches the parent as 255;
 * so does any other non-zero status whose low byte is 0, such as 256, which
 * would otherwise read as success).
 *
 * The first thread to call it runs the hook to its end and exits with its
 * own status; other threads calling it meanwhile wait for that end. A
 * child forked meanwhile ends on its own, leaving the hook to its parent.
 * It may be called from a signal handler, even one that interrupted
 * qo_log() in the same thread: the entry being written may then be lost,
 * no other.
 * The hook runs in the handler too, so it must be fit for that. A thread
 * stuck writing the log (to a pipe nobody reads) is waited for 2 seconds
 * at most, here and at exit(); its entries are then left to it.
 */
typedef void (*qo_exit_hook_fn)(int status, const char *message);
QO_API extern qo_exit_hook_fn qo_exit_hook;

QO_API QO_NORETURN void qo_exit(int status, const char *message) QO_NOEXCEPT;

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

/* ---- Strings ------------------------------------------------------------
 * Every char * returned here is a fresh heap string that the caller owns
 * and releases with qo_free(). Memory exhaustion ends the process. */

/* Copy input with each byte found in specials preceded by escape. The quote
 * byte, when specials holds it, is written as quote escape quote quote, so
 * that it closes the quoted text, is escaped, and reopens it: with quote '
 * and escape \, "it's" becomes "it'\''s". Text with none of the specials
 * comes back as an identical copy. */
QO_API char *qo_stresc(const char *input, const char *specials, char escape,
                       char quote) QO_NOEXCEPT;

/* The next token of input, or NULL when the split is over. *cursor holds
 * the byte offset to go on from: start it at 0; it is set back to 0 when
 * NULL is returned. Runs of separators before a token are skipped, and
 * trailing separators give one last empty token: "a,b,," splits into "a",
 * "b", "" and then NULL. A NULL input or separators, a negative cursor or
 * one at or past the end gives NULL; so does a NULL cursor. Pass only 0 or a
 * cursor that an earlier call on the same input left: past the end, only
 * length + 1 is checked without reading beyond the text. The cursor is an
 * int, so texts of up to INT_MAX - 1 bytes split whole; a token that ends
 * at byte INT_MAX or beyond ends the process ("qo_strtok: text too long for
 * the cursor") rather than give a wrong split. */
QO_API char *qo_strtok(const char *input, const char *separators,
                       int *cursor) QO_NOEXCEPT;

/* Quote input as one shell word that any POSIX shell reads back as exactly
 * input, whatever bytes it holds: wrapped in single quotes, each single
 * quote written as '\'' ; "" gives ''. Prefer it to qo_stresc() for
 * anything headed to qo_system(). */
QO_API char *qo_shell_quote(const char *input) QO_NOEXCEPT;

/* Copy input with the first occurrence of token replaced by replacement;
 * an input without token comes back as an unchanged copy. An empty token
 * matches at the start. */
QO_API char *qo_str_substitute(const char *input, const char *token,
                               const char *replacement) QO_NOEXCEPT;

/* Remove, in place, the bytes 0x01-0x20 (blank, tab, line feed and the
 * other control bytes) at both ends of text. Bytes 0x7F-0xFF are kept:
 * "\tcafe\xCC\x81 " becomes "cafe\xCC\x81". NULL is accepted. */
QO_API void qo_strip_spaces(char *text) QO_NOEXCEPT;

/* The current local time as ctime() writes it: 24 characters and a line
 * feed, in the C library's static buffer. Do not release it; the next call
 * overwrites it. */
QO_API const char *qo_date(void) QO_NOEXCEPT;

/* ---- Commands ----------------------------------------------------------- */

/* Format a command line and run it with system(); return its status as
 * system() gives it: 0 or a wait status (WEXITSTATUS, WTERMSIG...). A shell
 * that cannot be started at all (a command line over the kernel's limit, no
 * process left to create) comes back as exit status 127, as a command the
 * shell cannot find does, and nothing is logged. -1 comes back only when
 * the C library returns it, when the shell cannot be waited for (SIGCHLD
 * ignored): then a level-4 line with this library's call site is logged.
 * The line goes to the shell as it is: quote its parts yourself. Ends the
 * process when the command line cannot be built. */
QO_API int qo_system_int(int line, const char *file, const char *format,
                         ...) QO_NOEXCEPT QO_PRINTF(3, 4);

/* What qo_run() does besides running the command. Zero-initialise, then
 * set what you need; a NULL options pointer means all zero. */
struct qo_run_options {
    const char *input; /* text for the command's stdin; NULL: /dev/null */
    char **output;     /* slot that receives its stdout; NULL: the caller's */
    char **errors;     /* slot that receives its stderr; NULL: the caller's.
                          The same slot as output receives both, merged. */
    int timeout_ms;    /* > 0: at the deadline the command's process group
                          gets SIGTERM, and SIGKILL one second later */
    const char *dir;   /* working folder; NULL: the caller's */
    int log_output;    /* > 0: each line of stdout or stderr that no slot
                          receives is also logged at this level */
};

/* Run argv[0] (searched in PATH when it has no slash) with the arguments
 * argv[0..] up to a NULL, without a shell: each argument reaches the
 * command byte for byte. The front also takes a compound literal:
 * qo_run((const char *[]){"ls", "-l", NULL}, NULL). The command gets the
 * caller's environment, its own process group, the caller's descriptors
 * 0-2 (or the pipes and /dev/null the options ask for) and no other.
 *
 * Returns the wait status (WIFEXITED, WEXITSTATUS, WTERMSIG...), or -1
 * with errno set, and a level-4 log entry, when the command could not be
 * started (not found, not executable, no process, a missing dir) or its
 * status was lost (SIGCHLD ignored). stdin and the captured streams are
 * served together: no size deadlocks. Slots receive a fresh string, also
 * "" after -1, whatever they held (pass empty slots); output holding NUL
 * bytes reads as C text up to the first one.
 *
 * qo_run() returns once the command has ended and the captured streams are
 * closed, so a background child that keeps them open is waited for, up to
 * the deadline: then the whole group is killed, the captured text is what
 * arrived so far and errno is ETIMEDOUT; after any other run it is 0.
 * Only the command itself is waited for, and it is never left a zombie.
 *
 * Each run is logged at level 5 with the caller's call site: the command
 * as a line a shell reads back, then its outcome and duration ("sleep:
 * timed out after 1500 ms, killed by signal 15 (Terminated) (1502 ms)").
 * Any thread may call it; SIGPIPE is blocked in that thread during the
 * run, so a command that stops reading its input cannot kill the caller.
 * Ends the process when argv is NULL or empty or memory runs out. */
QO_API int qo_run_int(const char *const argv[], const struct qo_run_options *options,
                      int line, const char *file) QO_NOEXCEPT;

/* Format a command line as qo_system() does, run it with /bin/sh -c as
 * qo_run() does, store its stdout in *slot (a fresh string: pass an empty
 * slot) and return its status; stderr goes to the caller's. Ends the
 * process when slot or format is NULL or the line cannot be built. */
QO_API int qo_system_output_int(char **slot, int line, const char *file,
                                const char *format, ...) QO_NOEXCEPT QO_PRINTF(4, 5);

/* A fresh string telling a status of qo_system() or qo_run():
 * "exited with status 2", "killed by signal 9 (Killed)", "could not be
 * run" for -1. */
QO_API char *qo_status_text(int status) QO_NOEXCEPT;

/* ---- Fronts: fill in the caller's call site ----------------------------- */

#define qo_log(level, ...)                                                             \
    qo_log_int((level), __LINE__, __FILE__, __func__, __VA_ARGS__)
#define qo_malloc(size) (qo_malloc)((size), __LINE__, __FILE__)
#define qo_asprintf(slot, ...) (qo_asprintf)((slot), __LINE__, __FILE__, __VA_ARGS__)
#define qo_free(slot) (qo_free)((slot), __LINE__, __FILE__)
#define qo_getline(slot, stream) qo_getline_int((slot), (stream), __LINE__, __FILE__)
#define qo_setenv(name, value) qo_setenv_int((name), (value), __LINE__, __FILE__)
#define qo_strcat(slot, ...) qo_strcat_int((slot), __LINE__, __FILE__, __VA_ARGS__)
#define qo_system(...) qo_system_int(__LINE__, __FILE__, __VA_ARGS__)
/* Variadic because the braces of a compound literal argv do not shield its
 * commas from the preprocessor. */
#define qo_run(...) qo_run_int(__VA_ARGS__, __LINE__, __FILE__)
#define qo_system_output(slot, ...)                                                    \
    qo_system_output_int((slot), __LINE__, __FILE__, __VA_ARGS__)
#define qo_str_reset(slot, ...)                                                        \
    qo_str_reset_int((slot), __LINE__, __FILE__, __VA_ARGS__)

#ifdef __cplusplus
}
#endif

#endif /* QO_H */
