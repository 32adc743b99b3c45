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
#include <sys/resource.h>
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
#define QO_VERSION_MINOR 4
#define QO_VERSION_PATCH 0
#define QO_VERSION "1.4.0"
/* The same as one number, 0xMMmmpp, for tests in #if: 0x010200 is 1.2.0. */
#define QO_VERSION_NUM                                                                 \
    ((QO_VERSION_MAJOR << 16) | (QO_VERSION_MINOR << 8) | QO_VERSION_PATCH)
/* True when this header is at least version major.minor.patch:
 * #if QO_VERSION_AT_LEAST(1, 2, 0) ... #endif */
#define QO_VERSION_AT_LEAST(major, minor, patch)                                       \
    (QO_VERSION_NUM >= (((major) << 16) | ((minor) << 8) | (patch)))

/* The version of the library linked in, as QO_VERSION reads: a program
 * built against one header and run against another shared library can
 * tell the two apart. */
QO_API const char *qo_version(void) QO_NOEXCEPT;

/* ---- Debug log ---------------------------------------------------------
 * One log per process. Until qo_log_open() succeeds every entry is dropped.
 * An entry of level L is written when L <= the current level: levels <= 0
 * as "INFO: message", levels >= 1 as "DBGL: file->routine#line: message".
 * The log reports its own troubles on standard error and never ends the
 * process: entries that cannot be written (a full disk, a file at its
 * size limit, an I/O error) are reported with the log's path, without
 * SIGXFSZ, and a log on a pipe whose reader has gone is turned off with one
 * such line, without SIGPIPE.
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
 * Blocking: a log on a pipe, a socket or a terminal can block. qo_log(),
 * qo_log_open() and qo_log_close() wait for it as long as it takes: a log
 * is not lossy. What the library promises to do in time does not: a stuck
 * log (a thread stuck writing it, or a pipe nobody reads) holds up fork(),
 * qo_system(), qo_run() and the end of the process for 2 seconds at most,
 * and is then left as it is. The entries of a run (its command line, its
 * outcome, its logged output) wait for the log until the run's deadline,
 * 2 seconds at most, and so does the entry of a failure that ends the
 * process; one the log cannot take by then is dropped and counted. The
 * count is logged before the next entry that gets through, as "INFO: qo: N
 * log entries dropped while the log was blocked", or written on standard
 * error at exit.
 *
 * Signal handlers: qo_log_set_level(), qo_log_flush_on(), qo_log_reopen()
 * and qo_exit() may be called from one; the other log routines may not. */

/* Open (append to, or create) the log at path and set the level. A log
 * already open is closed first. On failure (NULL path included) the log
 * stays off. A slow open, such as a FIFO nobody reads yet, holds up only
 * the caller. */
QO_API void qo_log_open(const char *path, int level) QO_NOEXCEPT;

/* Flush and close the log; the level goes back to 0. Safe when closed. */
QO_API void qo_log_close(void) QO_NOEXCEPT;

/* Set the level, whether or not a log is open. */
QO_API void qo_log_set_level(int level) QO_NOEXCEPT;

/* The current level, which the qo_log() front reads before it evaluates
 * its arguments. Read-only: set it with qo_log_open() or
 * qo_log_set_level(). */
QO_API extern int qo_log_level;

/* Close the log's file and open the same path again, flushing first, as
 * log rotation needs: once logrotate has renamed the file, the next entry
 * goes to a new file at the path, and none is lost. It only raises a flag,
 * acted on by the next entry, so a SIGHUP handler may call it. When the
 * path cannot be opened again the log goes on in the old file, with one
 * "Unable to write to" line on standard error. */
QO_API void qo_log_reopen(void) QO_NOEXCEPT;

/* From now on, an entry of level <= level is written to the file at once,
 * so that the last words before a crash are kept. By default nothing is
 * (INT_MIN stands for that). Kept across qo_log_close() and qo_log_open(). */
QO_API void qo_log_flush_on(int level) QO_NOEXCEPT;

/* What each entry's header adds, from qo_log_stamp(). The time goes first,
 * then the process and thread, then the entry as it reads without them:
 *   2026-12-09 10:42:07.123 12.345678 [4242/4243] DBG1: f->r#7: message
 * QO_LOG_TIME: local wall-clock time with milliseconds; QO_LOG_TIME_US: the
 * same with microseconds (it wins over QO_LOG_TIME); QO_LOG_UPTIME: seconds
 * since the log was opened, with microseconds, on the monotonic clock;
 * QO_LOG_PID and QO_LOG_TID: "[pid/tid]", "[pid]" or "[/tid]". The time is
 * taken as the entry is added, under the log's lock, so times never go
 * back down the file, whichever thread wrote the entry (a wall clock set
 * back excepted). One clock is read per entry: with both the wall time
 * and the uptime, the monotonic clock, the wall clock being read once a
 * second to follow it.
 * QO_LOG_CONTINUED: lines 2..n of a multi-line message start with "  | ",
 * so that every line that starts otherwise starts an entry; a line feed
 * that ends the message ends the entry, with no empty line after it. */
#define QO_LOG_TIME 0x01u
#define QO_LOG_TIME_US 0x02u
#define QO_LOG_UPTIME 0x04u
#define QO_LOG_PID 0x08u
#define QO_LOG_TID 0x10u
#define QO_LOG_CONTINUED 0x20u

/* Choose what entries add to their header, from the QO_LOG_ flags above
 * (others are ignored). 0, the default, adds nothing: entries read exactly
 * as described above. Takes effect at the next entry, whether or not a log
 * is open, and is kept across qo_log_close() and qo_log_open(). The
 * journal (qo_log_open_journal()) takes none of it: it records the time,
 * the process and the thread itself and keeps a message whole. */
QO_API void qo_log_stamp(unsigned what) QO_NOEXCEPT;

/* Send the entries to the systemd journal, each as one record with the
 * message alone in MESSAGE, the call site in CODE_FILE, CODE_LINE and
 * CODE_FUNC, the thread in TID, identifier (NULL: the program's name) in
 * SYSLOG_IDENTIFIER, the level in QO_LEVEL and in PRIORITY: 6 (info)
 * for levels <= 0, 3 (err) for level 1, the failures that end the process,
 * 7 (debug) above. A log already open is closed first; level is as for
 * qo_log_open(). A multi-line message stays one record, and a line feed
 * that ends it is dropped. The records are not buffered: each reaches the
 * journal as it is written, and one too large for a datagram goes through
 * a sealed memory file. Where no journal listens, "Unable to write to the
 * systemd journal at /run/systemd/journal/socket" and "Logging
 * desactivated" go to standard error and the log stays off. A journal that
 * restarts is found again at the next entry. */
QO_API void qo_log_open_journal(const char *identifier, int level) QO_NOEXCEPT;

/* Write one entry on behalf of the call site (line, file, routine), if
 * level <= the current level. The qo_log() front tests the level itself
 * first, so that a filtered-out entry's arguments are not evaluated. */
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
 * no other. The hook runs in the handler too, so it must be fit for that;
 * and so, through exit(), do the application's atexit() handlers and the
 * destructors of its static objects. A closed standard error (a reader
 * that has gone) loses the message, not the status nor the log. A stuck
 * log (see above) holds up the end for 2 seconds at most: the failure's
 * entry, or the log's flush, gives up then.
 *
 * The end never hangs: exit() gets 2 seconds (a SIGALRM timer whose handler
 * qo_exit() sets), after which, or at once from a handler that interrupted
 * fork() or pthread_atfork() in its thread, where exit() would wait for a
 * lock its own thread holds, the process ends with _exit() and the same
 * status. The hook has run, the message is out and the log is closed then;
 * the atexit() handlers, static destructors and the flush of stdio streams
 * (stdout) do not run.
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
 * NULL is returned. Runs of separators before a token are skipped. One
 * trailing separator ends the split ("a,b," gives "a", "b", then NULL);
 * two or more give one last empty token: "a,b,," splits into "a", "b", ""
 * and then NULL. A NULL input or separators, a negative cursor or
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
 * set what you need; a NULL options pointer means all zero.
 *
 * How it grows without breaking a program built against an older header:
 * - Zero always keeps to the old behaviour, and no field must be filled
 *   in: options set with = {0} or memset() keep working in every release.
 * - A release that needs more room makes the struct larger and gives every
 *   function that takes it a new symbol version (qo_run_int@@QO_1.4). The
 *   versions a program built earlier is bound to stay, each reading only
 *   the struct its header had and copying it into a zeroed larger one: no
 *   field beyond what that program allocated is ever read.
 * - The struct ends in reserved room, which must stay zero. A release may
 *   carve fields out of it, the size unchanged, under a new version node
 *   all the same, so that a program which sets them cannot load a library
 *   that would ignore them.
 * So 1.1's options (which ended at log_output) are read by
 * qo_run_int@QO_1.0, 1.2's and 1.3's (144 bytes on 64-bit systems) by the
 * @QO_1.2 and @QO_1.3 versions, and these by @QO_1.4. */
struct qo_run_options {
    const char *input; /* text for the command's stdin; NULL: /dev/null */
    char **output;     /* slot that receives its stdout; NULL: the caller's */
    char **errors;     /* slot that receives its stderr; NULL: the caller's.
                          The same slot as output receives both, merged. */
    int timeout_ms;    /* > 0: at the deadline the command's process group,
                          and any process of the run that moved to a group
                          of its own, gets stop_signal, and SIGKILL
                          grace_ms later */
    const char *dir;   /* working folder; NULL: the caller's */
    int log_output;    /* > 0: each line of stdout or stderr that no slot
                          nor callback receives is also logged at this
                          level */
    /* since 1.2 */
    const char *const *env;  /* NULL-terminated changes to the caller's
                                environment (to an empty one with
                                QO_RUN_CLEAR_ENV): "NAME=value" sets, "NAME"
                                removes; the rest is inherited */
    const char *input_file;  /* the command's stdin reads this file (it
                                wins over input) */
    const char *output_file; /* its stdout writes this file (it wins over
                                output): created 0666 & ~umask, emptied
                                only once the command that writes it is
                                found and about to start (a run that
                                cannot start leaves it as it was), or
                                appended with QO_RUN_APPEND */
    unsigned flags;          /* QO_RUN_APPEND, QO_RUN_CLEAR_ENV, QO_RUN_REPLACE */
    /* since 1.3, in the room 1.2 reserved: the struct's size is unchanged */
    void *context; /* passed back to each callback */
    /* Called with each line of stdout (of stderr) as it arrives: line holds
     * size bytes and ends with the '\n' or '\r' that ended it. The last
     * piece of a stream comes at its end without one; so do the pieces,
     * QO_RUN_LINE_MAX bytes each, of a longer line. A stream with a
     * callback and no slot is the callback's alone: it is neither passed
     * on to the caller's descriptor nor logged. With output_file, on_output
     * (since 1.4) sees every line the file is written, the stream passing
     * through the run on its way (QO_RUN_REPLACE still replaces the file
     * whole, on success only; a write the file refuses fails the run: -1,
     * "Unable to write out.txt: No space left on device"); output_size
     * then tells what the file took. With output and errors the same slot,
     * on_output gets both streams. A non-zero return stops the run. */
    int (*on_output)(void *context, const char *line, size_t size);
    int (*on_errors)(void *context, const char *line, size_t size);
    /* Called when the command can take more input and what it gave before
     * is all written: the bytes it put in buffer (at most room), 0 for the
     * end of input, -1 to stop the run. When set, it is the input: input
     * and input_file are ignored. */
    ssize_t (*on_input)(void *context, char *buffer, size_t room);
    size_t *output_size; /* receives the size of the text output received,
                            NUL bytes included; 0 without a slot */
    size_t *errors_size; /* the same for errors */
    char **why;          /* slot that receives why the run gave -1, as the
                            log says it ("Unable to run gzip (stage 2 of
                            2): No such file or directory", "Unable to
                            open out.txt: Permission denied"), or "" */
    int stop_signal;     /* sent first at the deadline or a stop; 0: SIGTERM */
    int grace_ms;        /* then SIGKILL this much later; 0: 1000 */
    /* since 1.4, which made the struct larger */
    /* The caller's own descriptors as the command's 0, 1 and 2, each used
     * when its flag is set (QO_RUN_INPUT_FD, QO_RUN_OUTPUT_FD,
     * QO_RUN_ERRORS_FD), winning over the other ways to give that stream;
     * the same descriptor for output and errors gets both in order. The
     * run never closes nor moves them; one that is not open gives -1,
     * EBADF and a why naming it, before anything starts. */
    int input_fd, output_fd, errors_fd;
    unsigned umask; /* with QO_RUN_UMASK: the command's umask */
    /* Descriptors the command gets at the same numbers, ended by -1; it
     * gets no other beyond 0-2. */
    const int *pass_fds;
    /* With QO_RUN_USER: the command runs as uid and gid, with groups
     * (groups_count of them; none when 0) as its supplementary groups.
     * Needs the privilege to set them (root): without it, -1, EPERM and a
     * why, and nothing starts. */
    uid_t uid;
    gid_t gid;
    const gid_t *groups;
    size_t groups_count;
    int nice; /* added to the command's niceness; 0 leaves it */
    /* Resource limits set in the command, ended by an entry whose resource
     * is -1: {RLIMIT_CORE, 0, 0}. */
    const struct qo_rlimit *limits;
    /* Each stage's stderr apart: lines as on_errors gets them, with the
     * stage's index (0 for the first); and an array of one slot per stage
     * (stage_errors[i] receives stage i's text, as errors would). Either
     * takes stderr from errors (which receives "") and on_errors; errors_fd
     * wins over both. A pipeline whose stderr only the log takes
     * (log_output) has its lines logged apart too, each naming its stage:
     * "stderr of stage 1 (tar): Cannot open: No such file". */
    int (*on_stage_errors)(void *context, size_t stage, const char *line, size_t size);
    char **stage_errors;
    void *reserved[10]; /* zero: room for later releases */
};
/* A resource limit for the command, as setrlimit() takes it. */
struct qo_rlimit {
    int resource; /* RLIMIT_CORE, RLIMIT_NOFILE...; -1 ends the list */
    rlim_t soft;
    rlim_t hard;
};
#define QO_RUN_APPEND 1u
#define QO_RUN_CLEAR_ENV 2u /* start from an empty environment, as env -i */
/* output_file replaced whole, on success only: the output goes to a new
 * file beside it (".name.XXXXXXXXXXXX", made exclusively), flushed and
 * renamed over it when the run returns 0 and no deadline or stop cut it
 * short, removed otherwise and by qo_exit(). A new file gets 0666 &
 * ~umask, a replaced one keeps its permission bits. Without output_file,
 * with QO_RUN_APPEND or on a file that is not a regular one, nothing
 * starts: -1, EINVAL, why says it. */
#define QO_RUN_REPLACE 4u
#define QO_RUN_INPUT_FD 8u   /* stdin is input_fd */
#define QO_RUN_OUTPUT_FD 16u /* stdout is output_fd */
#define QO_RUN_ERRORS_FD 32u /* stderr is errors_fd */
/* A new session instead of a new process group: the command has no
 * controlling terminal and is not the terminal's job (Ctrl-C, Ctrl-Z and
 * the foreground do not reach it), as setsid runs it; a daemon that must
 * outlive the caller's terminal wants that. */
#define QO_RUN_NEW_SESSION 64u
#define QO_RUN_UMASK 128u /* the command's umask is umask */
#define QO_RUN_USER 256u  /* the command runs as uid, gid, groups */
/* stdin is a pipe the caller feeds through qo_job_write() and ends with
 * qo_job_close_input() (a held job only; it wins over the other inputs). */
#define QO_RUN_INPUT_PIPE 512u
/* on_output and on_errors also get the text of a line not ended yet, as
 * soon as its stream goes quiet (nothing more to read at once): a progress
 * report led by '\r' is seen as it is written. See QO_RUN_LINE_MAX. */
#define QO_RUN_PARTIAL_LINES 1024u
/* The longest line handed to on_output or on_errors: a longer one comes in
 * pieces of this many bytes. A call whose text does not end with '\n' or
 * '\r' is such a piece, or a line's text so far (QO_RUN_PARTIAL_LINES), or
 * the last line of a stream that ended without one: what comes next for
 * that stream goes on with the same line. */
#define QO_RUN_LINE_MAX 65536

/* Run argv[0] (searched in the caller's PATH when it has no slash) with
 * the arguments argv[0..] up to a NULL, without a shell: each argument
 * reaches the command byte for byte. The front also takes a compound
 * literal: qo_run((const char *[]){"ls", "-l", NULL}, NULL). The command
 * gets the caller's environment with the env changes, its own process
 * group, the caller's descriptors 0-2 (or the pipes, files and /dev/null
 * the options ask for) and no other. It starts with no signal blocked and
 * SIGPIPE and SIGXFSZ at their defaults (at a terminal, the stop signals
 * too); other signals the caller ignores, such as SIGINT, SIGQUIT and
 * SIGHUP, stay ignored (nohup).
 *
 * At a terminal: when the caller's group is the foreground of its
 * controlling terminal (found from any of descriptors 0-2, else /dev/tty:
 * stdin may be redirected, as in prog <list), the command's group takes
 * the foreground for the run and gives it back after, so it can read a
 * password from /dev/tty, Ctrl-C ends it (the caller goes on and gets
 * "killed by signal 2"), and Ctrl-Z stops it and then the caller's own
 * group, as the shell expects; fg gives the terminal back to the command
 * and continues it. As a shell does, a command that ends by a signal (the
 * deadline, Ctrl-C) or stops leaves the terminal with the modes the caller
 * had (echo, raw mode); one that exits keeps the modes it set (stty). One
 * run of the process has the foreground at a time: of runs from several
 * threads at once (or held jobs), the first takes it and the others run
 * without it; one of them that stops for the terminal (a read from
 * /dev/tty) gets it once the first has given it back, and the caller goes
 * on meanwhile. What is typed reaches every run of the process all the
 * same: the run that has the foreground passes Ctrl-C and Ctrl-\ on to the
 * others (each status then says SIGINT), and a Ctrl-Z stops them with it
 * (SIGSTOP) and continues them with the caller; when it ends, the
 * foreground goes to another run still going before it returns to the
 * caller. A run nested in a callback of the run that has the foreground
 * borrows it, and gives it back when it ends: a prompt (ssh, sudo) nested
 * so reads what is typed. A caller in the background leaves the terminal
 * alone; a command that stops there for the terminal stops the caller's
 * group too, and goes on once fg brings the caller to the foreground.
 *
 * Returns the wait status (WIFEXITED, WEXITSTATUS, WTERMSIG...), or -1
 * with errno set. A run cut short by its deadline or a stop never returns
 * 0: if its command exited 0 all the same (a server that exits 0 on
 * SIGTERM), the status reads as a kill by stop_signal, with errno
 * ETIMEDOUT or ECANCELED; the command's own status is in the statuses of
 * qo_pipeline() and qo_job_wait(). -1 comes with a level-4 log entry that
 * the why slot receives too,
 * when the command could not be started (not found, not executable, no
 * process, a missing dir, a file that cannot be opened: nothing is started
 * then), its output could not replace output_file, or its status was lost
 * (SIGCHLD ignored, or a handler in another thread that reaps every child:
 * the calling thread blocks SIGCHLD for the run, as system() does, which
 * protects it from handlers that run in it). stdin and the captured
 * streams are served together: no size deadlocks. Slots receive a fresh
 * string, trimmed to its text, also "" after -1; a string still in a slot
 * is released first (with a level-1 line), as qo_getline() does. A slot
 * keeps every byte, with a NUL after them: for output that holds NUL
 * bytes, output_size and errors_size tell where the text ends.
 *
 * Callbacks are called by qo_run() itself, in the calling thread, as the
 * bytes come and go; until one returns, the run waits (the deadline
 * included). No lock of the library is held meanwhile: a callback may log,
 * run commands (SIGCHLD and SIGPIPE, and at a terminal SIGTTOU, are
 * blocked in the thread for a run; a nested run needs them so too) and
 * call qo_exit(), which kills the job as the process ends. It must not
 * leave by longjmp() or an exception, which would leave the job running
 * and the terminal and the signal mask as the run had them. A stop that a
 * callback asks for ends the job as a deadline does; no callback is called
 * after it, the command's stdin gets nothing more, slots take what comes
 * until the job has ended, and errno is ECANCELED.
 *
 * qo_run() returns once the command has ended and the captured streams are
 * closed and passed on, so a background child that keeps them open is
 * waited for, up to the deadline: then the whole group gets stop_signal
 * (and SIGCONT, should it be stopped), SIGKILL grace_ms later, and the run
 * ends at once, even if a process that left the group still holds the
 * pipes or nobody reads the caller's stdout. A command that moved to a
 * group of its own gets the signals by its pid and in that group as well.
 * The deadline counts from the start of the call, and it is the run's one
 * deadline: its log entries, the log's flush before the command and the
 * command all share it, so a stuck log does not stretch it.
 * The captured text is what arrived so far and errno is ETIMEDOUT
 * (ECANCELED after a callback's stop); after any other run it is 0.
 * Output passed on to the caller's stdout and stderr never waits for their
 * reader, and their flags stay as they are (blocking): a terminal or a
 * pipe is written through a non-blocking description of its own, opened
 * again through /proc (without /proc, or for another user's terminal,
 * PIPE_BUF bytes once poll finds room: a pipe takes them at once, a
 * stalled terminal may not), a socket with MSG_DONTWAIT. Bytes not passed
 * on when the run ends at its deadline are dropped and counted in a
 * level-5 entry ("stdout: 12345 bytes not passed on by the deadline").
 * Only the command itself is waited for, and it is never left a zombie.
 * qo_exit() sends SIGKILL to the group of every command still running (up
 * to 64 runs at once).
 *
 * Each run is logged at level 5 with the caller's call site: the command
 * as a line a shell reads back ("cd ./d && env -u TERM LC_ALL=C df -P #
 * pid 4242", "env -i PATH=/bin df -P # pid 4243"), once it has started,
 * then its outcome and duration ("sleep: timed out after 1500 ms, killed
 * by signal 15 (Terminated) (1502 ms) # pid 4244", "sleep: stopped by a
 * callback, killed by signal 15 (Terminated) (12 ms) # pid 4245"): the
 * pids pair the entries of runs made in parallel. These
 * entries never hold the run past its deadline, nor 2 seconds without one:
 * a log that cannot take one by then drops it and counts it (see the debug
 * log).
 * Any thread may call it; SIGPIPE is blocked in that thread during the
 * run, so a command that stops reading its input cannot kill the caller.
 * Ends the process when argv is NULL or empty or memory runs out. */
QO_API int qo_run_int(const char *const argv[], const struct qo_run_options *options,
                      int line, const char *file) QO_NOEXCEPT;

/* Run a pipeline without a shell: stages is a NULL-terminated array of
 * argv arrays as qo_run() takes them, each stage's stdout feeding the next
 * one's stdin through a pipe that only the two of them hold (the data never
 * passes through the caller). The options apply to the pipeline as a
 * whole: input or input_file feeds the first stage, output or output_file
 * takes the last one's stdout, errors receives every stage's stderr as it
 * arrives (the same slot as output: both, merged), on_input, on_output
 * and on_errors likewise, and the other options act as in qo_run(). The
 * stages are one job: one process group, the terminal's foreground at a
 * terminal (Ctrl-C and Ctrl-Z act on the whole pipeline), stop_signal then
 * SIGKILL to every stage at the deadline or a callback's stop, even one
 * that moved to a group of its own (timeout 5 cmd, setsid cmd), and to
 * what it started there. Each stage gets its own 0-2 and no other
 * descriptor.
 *
 *     const char *tar[] = {"tar", "-cf", "-", "/srv", NULL};
 *     const char *zstd[] = {"zstd", "-q", NULL};
 *     const char *const *stages[] = {tar, zstd, NULL};
 *     struct qo_run_options o = {0};
 *     o.output_file = "/backup/srv.tzst";
 *     int status = qo_pipeline(stages, &o, NULL);
 *
 * statuses, when not NULL, receives each stage's wait status in order
 * (room for one per stage; -1 for a stage not started). Returns the wait
 * status of the last stage that failed, or 0 when all succeeded (bash's
 * pipefail), so a failing tar before a happy zstd is never a success. One
 * exception: a stage killed by SIGPIPE whose reader ended well (yes |
 * head -1: head had what it wanted and left) is not a failure, nor is one
 * killed by SIGPIPE before such a stage. After a deadline errno is
 * ETIMEDOUT, after a callback's stop ECANCELED, else 0; qo_status_text()
 * tells the status. A stage that cannot be started kills the stages
 * already started: -1, errno, a level-4 entry naming the stage
 * ("Unable to run zstd (stage 2 of 2): No such file or directory"); a file
 * that cannot be opened starts nothing (-1, errno, a level-4 entry).
 *
 * Logged at level 5 with the caller's call site as one line a shell reads
 * back as the same pipeline ("tar -cf - /srv | zstd -q >
 * /backup/srv.tzst"), then each stage's outcome and the duration ("tar:
 * exited with status 0 | zstd: exited with status 0 (812 ms)"). SIGPIPE
 * and SIGCHLD are blocked in the calling thread for the run. Ends the
 * process when stages is NULL or holds no stage or an empty one, or
 * memory runs out. */
QO_API int qo_pipeline_int(const char *const *const stages[],
                           const struct qo_run_options *options, int statuses[],
                           int line, const char *file) QO_NOEXCEPT;

/* ---- Commands you hold --------------------------------------------------
 * qo_start() and qo_pipeline_start() start what qo_run() and qo_pipeline()
 * run, and hand back the running job; qo_run() and qo_pipeline() are
 * start, wait and free. Every option holds as in qo_run() (the deadline
 * counted from the start, QO_RUN_REPLACE decided when the job ends); the
 * struct is copied, but what it points to (the input text, the slots, the
 * context) must stay valid until the job has ended or is freed.
 * Nothing happens behind the caller's back: the bytes move, the callbacks
 * are called and the deadline is acted on in the job's calls below, in
 * the thread that makes them, which blocks SIGCHLD and SIGPIPE during each
 * call (not between them: a SIGCHLD handler of the caller's that reaps
 * every child may take a held job's status, which is then lost). A job is
 * used from one thread at a time, except qo_job_stop(), which any thread
 * or a signal handler may call.
 *
 *     struct qo_job *job = qo_start(((const char *[]){"make", NULL}), &o);
 *     struct pollfd p = {qo_job_fd(job), POLLIN, 0};
 *     while (!qo_job_serve(job, 0))
 *         poll(&p, 1, -1);
 *     int status = qo_job_wait(job, -1, NULL);
 *     qo_job_free(job);
 *
 * A job that cannot start gives NULL, with errno, the why slot and the
 * log entry as qo_run() gives -1 (an existing output file left as it
 * was). Ends the process when argv or stages is NULL or empty or memory
 * runs out. */
struct qo_job;
QO_API struct qo_job *qo_start_int(const char *const argv[],
                                   const struct qo_run_options *options, int line,
                                   const char *file) QO_NOEXCEPT;
QO_API struct qo_job *qo_pipeline_start_int(const char *const *const stages[],
                                            const struct qo_run_options *options,
                                            int line, const char *file) QO_NOEXCEPT;

/* The process id of a stage (0 for the first, and for qo_start()'s
 * command), or -1 when there is no such stage. */
QO_API pid_t qo_job_pid(const struct qo_job *job, size_t stage) QO_NOEXCEPT;

/* A descriptor that becomes readable whenever the job needs serving:
 * bytes to move, a stage ended, its deadline or its grace reached, a
 * stop asked. Poll it, or hand it to an event loop, and call
 * qo_job_serve() when it is readable; never read it, nor close it. */
QO_API int qo_job_fd(const struct qo_job *job) QO_NOEXCEPT;

/* Moves what can move, calls the callbacks and acts on the deadline,
 * waiting up to timeout_ms for something to do (0 never blocks, -1 waits
 * for the end). 1 once the job has ended and its output is all in, else
 * 0. */
QO_API int qo_job_serve(struct qo_job *job, int timeout_ms) QO_NOEXCEPT;

/* Serves the job until it ends or timeout_ms has passed (-1: no limit).
 * At the end, what qo_pipeline() returns (qo_run()'s status for one
 * command): statuses, when not NULL, filled (room for one per stage),
 * slots, sizes and why filled, errno as qo_run() sets it; and the same
 * again on a later call. Before it, -1 with errno EAGAIN, the job still
 * running: waiting again goes on where this left, nothing lost. */
QO_API int qo_job_wait(struct qo_job *job, int timeout_ms, int statuses[]) QO_NOEXCEPT;

/* With QO_RUN_INPUT_PIPE: size bytes for the command's stdin, copied and
 * written as the pipe takes them; the caller never waits. 0, or -1 with
 * errno: EPIPE once the command has closed its stdin (no SIGPIPE is
 * raised), EINVAL without QO_RUN_INPUT_PIPE or after
 * qo_job_close_input(). */
QO_API int qo_job_write(struct qo_job *job, const void *data, size_t size) QO_NOEXCEPT;
/* The end of the input: the pipe is closed once what was written is in. */
QO_API int qo_job_close_input(struct qo_job *job) QO_NOEXCEPT;

/* Sends sig to every stage and what it started (in the job's group and
 * in groups its stages moved to); the job goes on (SIGHUP, SIGUSR1: reload,
 * SIGSTOP, SIGCONT). 0, or -1 with errno (EINVAL for a bad signal, ESRCH
 * once the job has ended). */
QO_API int qo_job_signal(struct qo_job *job, int sig) QO_NOEXCEPT;

/* Stops the job as a callback's stop does: stop_signal, SIGCONT, SIGKILL
 * after the grace; the end reads as a stop (errno ECANCELED). Any thread
 * may call it, and a signal handler, while another thread serves or waits
 * on the job, which it wakes at once. Nothing once the job has ended. */
QO_API void qo_job_stop(struct qo_job *job) QO_NOEXCEPT;

/* Frees the job; one still running is stopped first, and waited for: no
 * zombie, descriptor or temporary file outlives it. NULL is fine. */
QO_API void qo_job_free(struct qo_job *job) QO_NOEXCEPT;

/* Format a command line as qo_system() does, run it with /bin/sh -c as
 * qo_run() does, store its stdout in *slot (a fresh string; a string still
 * there is released first) and return its status; stderr goes to the
 * caller's. A shell that cannot be started (a command line over the
 * kernel's limit, no process left) gives -1 with errno (E2BIG, EAGAIN) and
 * a level-4 entry, as in qo_run(). Ends the process when slot or format is
 * NULL or the line cannot be built. */
QO_API int qo_system_output_int(char **slot, int line, const char *file,
                                const char *format, ...) QO_NOEXCEPT QO_PRINTF(4, 5);

/* A fresh string telling a status of qo_system(), qo_run() or
 * qo_pipeline():
 * "exited with status 2", "killed by signal 9 (Killed)", "could not be
 * run" for -1. */
QO_API char *qo_status_text(int status) QO_NOEXCEPT;

/* ---- Fronts: fill in the caller's call site ----------------------------- */

/* A statement: the level is evaluated once, the other arguments only when
 * the entry is written. */
#define qo_log(level, ...)                                                             \
    do {                                                                               \
        const int qo_log_at_ = (level);                                                \
        if (qo_log_at_ <= __atomic_load_n(&qo_log_level, __ATOMIC_RELAXED))            \
            qo_log_int(qo_log_at_, __LINE__, __FILE__, __func__, __VA_ARGS__);         \
    } while (0)
#define qo_malloc(size) (qo_malloc)((size), __LINE__, __FILE__)
#define qo_asprintf(slot, ...) (qo_asprintf)((slot), __LINE__, __FILE__, __VA_ARGS__)
#define qo_free(slot) (qo_free)((slot), __LINE__, __FILE__)
#define qo_getline(slot, stream) qo_getline_int((slot), (stream), __LINE__, __FILE__)
#define qo_setenv(name, value) qo_setenv_int((name), (value), __LINE__, __FILE__)
#define qo_strcat(slot, ...) qo_strcat_int((slot), __LINE__, __FILE__, __VA_ARGS__)
#define qo_system(...) qo_system_int(__LINE__, __FILE__, __VA_ARGS__)
/* Variadic because the braces of a compound literal argv do not shield its
 * commas from the preprocessor. In C they take argv as char **, const
 * char **, char *const * or const char *const * (so qo_run(argv + 1, NULL)
 * needs no cast) or an array of any of them, a compound literal included,
 * and stages as a pointer to or an array of any of those; anything else
 * does not compile: void * and const void *, a null pointer constant (0,
 * NULL), a char *, a char *** as argv, an argv as stages. qo_pipeline()
 * takes its stages from what comes before its last comma outside
 * parentheses, so its statuses is one expression without a braced list,
 * and the call holds at most 63 such commas. In C++ the functions' own
 * parameters convert what a function call would: all of these, and a null
 * pointer constant too, a null argv or stages, fatal at run time. */
#ifdef __cplusplus
#define qo_run(...) qo_run_int(__VA_ARGS__, __LINE__, __FILE__)
#define qo_pipeline(...) qo_pipeline_int(__VA_ARGS__, __LINE__, __FILE__)
#define qo_start(...) qo_start_int(__VA_ARGS__, __LINE__, __FILE__)
#define qo_pipeline_start(...) qo_pipeline_start_int(__VA_ARGS__, __LINE__, __FILE__)
#else
/* The transparent union, seen by the fronts alone, does the conversions. */
typedef union {
    const char *const *as_declared;
    char **plain;
    const char **const_words;
    char *const *const_array;
} qo_argv_front_ __attribute__((transparent_union));
typedef union {
    const char *const *const *as_declared;
    char ***plain;
    const char ***const_words;
    char *const **const_arrays;
    char **const *const_stages;
    const char *const **const_words_arrays;
    const char **const *const_words_stages;
    char *const *const *const_arrays_stages;
} qo_stages_front_ __attribute__((transparent_union));
static inline int qo_run_front_(qo_argv_front_ argv,
                                const struct qo_run_options *options, int line,
                                const char *file)
{
    return qo_run_int(argv.as_declared, options, line, file);
}
static inline int qo_pipeline_front_(qo_stages_front_ stages,
                                     const struct qo_run_options *options,
                                     int statuses[], int line, const char *file)
{
    return qo_pipeline_int(stages.as_declared, options, statuses, line, file);
}
static inline struct qo_job *qo_start_front_(qo_argv_front_ argv,
                                             const struct qo_run_options *options,
                                             int line, const char *file)
{
    return qo_start_int(argv.as_declared, options, line, file);
}
static inline struct qo_job *
qo_pipeline_start_front_(qo_stages_front_ stages, const struct qo_run_options *options,
                         int line, const char *file)
{
    return qo_pipeline_start_int(stages.as_declared, options, line, file);
}
/* A transparent union also takes a void * and a null pointer constant for
 * a pointer member, so the first argument's own type is checked before:
 * as a parameter of a function type that sizeof never evaluates (the call
 * evaluates the argument, once), with an array of negative size, named
 * for what is wrong, when it is none of the union's members. Of the first
 * two arguments, __builtin_choose_expr picks the first whatever commas
 * its braces hold; the comma operator decays an array and drops a const. */
#define QO_FRONT_FIRST_(...) ((void)0, __builtin_choose_expr(1, __VA_ARGS__))
#define QO_FRONT_IS_(type) __builtin_types_compatible_p(__typeof__(qo_front_), type)
#define QO_FRONT_CHECK_(refusal, ok, ...)                                              \
    ((void)sizeof(void (*)(__typeof__(QO_FRONT_FIRST_(__VA_ARGS__)) qo_front_,         \
                           char refusal[(ok) ? 1 : -1])))
#define QO_ARGV_OK_                                                                    \
    (QO_FRONT_IS_(char **) || QO_FRONT_IS_(const char **) ||                           \
     QO_FRONT_IS_(char *const *) || QO_FRONT_IS_(const char *const *))
#define QO_STAGES_OK_                                                                  \
    (QO_FRONT_IS_(char ***) || QO_FRONT_IS_(const char ***) ||                         \
     QO_FRONT_IS_(char *const **) || QO_FRONT_IS_(char **const *) ||                   \
     QO_FRONT_IS_(const char *const **) || QO_FRONT_IS_(const char **const *) ||       \
     QO_FRONT_IS_(char *const *const *) || QO_FRONT_IS_(const char *const *const *))
#define QO_ARGV_CHECK_(...)                                                            \
    QO_FRONT_CHECK_(qo_argv_must_be_an_argument_vector, QO_ARGV_OK_, __VA_ARGS__)
#define QO_STAGES_CHECK_(...)                                                          \
    QO_FRONT_CHECK_(qo_stages_must_be_argument_vectors, QO_STAGES_OK_, __VA_ARGS__)
/* qo_pipeline() has three arguments, one too many for the builtin: the
 * preprocessor counts what it was given and drops the last, the statuses,
 * leaving the stages and the options. */
#define QO_FRONT_JOIN_(a, b) a##b
#define QO_FRONT_PASTE_(a, b) QO_FRONT_JOIN_(a, b)
#define QO_FRONT_BUT_LAST_(...)                                                        \
    QO_FRONT_PASTE_(QO_FRONT_BUT_LAST_, QO_FRONT_COUNT_(__VA_ARGS__))(__VA_ARGS__)
#define QO_FRONT_COUNT_(...)                                                           \
    QO_FRONT_COUNT_AT_(__VA_ARGS__, 64, 63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53,    \
                       52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41, 40, 39, 38, 37, \
                       36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, \
                       20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4,   \
                       3, 2, 1, 0)
#define QO_FRONT_COUNT_AT_(                                                            \
    _1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, _15, _16, _17, _18,   \
    _19, _20, _21, _22, _23, _24, _25, _26, _27, _28, _29, _30, _31, _32, _33, _34,    \
    _35, _36, _37, _38, _39, _40, _41, _42, _43, _44, _45, _46, _47, _48, _49, _50,    \
    _51, _52, _53, _54, _55, _56, _57, _58, _59, _60, _61, _62, _63, _64, n, ...)      \
    n
#define QO_FRONT_BUT_LAST_2(a, b) a
#define QO_FRONT_BUT_LAST_3(a, ...) a, QO_FRONT_BUT_LAST_2(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_4(a, ...) a, QO_FRONT_BUT_LAST_3(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_5(a, ...) a, QO_FRONT_BUT_LAST_4(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_6(a, ...) a, QO_FRONT_BUT_LAST_5(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_7(a, ...) a, QO_FRONT_BUT_LAST_6(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_8(a, ...) a, QO_FRONT_BUT_LAST_7(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_9(a, ...) a, QO_FRONT_BUT_LAST_8(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_10(a, ...) a, QO_FRONT_BUT_LAST_9(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_11(a, ...) a, QO_FRONT_BUT_LAST_10(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_12(a, ...) a, QO_FRONT_BUT_LAST_11(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_13(a, ...) a, QO_FRONT_BUT_LAST_12(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_14(a, ...) a, QO_FRONT_BUT_LAST_13(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_15(a, ...) a, QO_FRONT_BUT_LAST_14(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_16(a, ...) a, QO_FRONT_BUT_LAST_15(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_17(a, ...) a, QO_FRONT_BUT_LAST_16(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_18(a, ...) a, QO_FRONT_BUT_LAST_17(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_19(a, ...) a, QO_FRONT_BUT_LAST_18(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_20(a, ...) a, QO_FRONT_BUT_LAST_19(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_21(a, ...) a, QO_FRONT_BUT_LAST_20(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_22(a, ...) a, QO_FRONT_BUT_LAST_21(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_23(a, ...) a, QO_FRONT_BUT_LAST_22(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_24(a, ...) a, QO_FRONT_BUT_LAST_23(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_25(a, ...) a, QO_FRONT_BUT_LAST_24(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_26(a, ...) a, QO_FRONT_BUT_LAST_25(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_27(a, ...) a, QO_FRONT_BUT_LAST_26(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_28(a, ...) a, QO_FRONT_BUT_LAST_27(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_29(a, ...) a, QO_FRONT_BUT_LAST_28(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_30(a, ...) a, QO_FRONT_BUT_LAST_29(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_31(a, ...) a, QO_FRONT_BUT_LAST_30(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_32(a, ...) a, QO_FRONT_BUT_LAST_31(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_33(a, ...) a, QO_FRONT_BUT_LAST_32(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_34(a, ...) a, QO_FRONT_BUT_LAST_33(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_35(a, ...) a, QO_FRONT_BUT_LAST_34(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_36(a, ...) a, QO_FRONT_BUT_LAST_35(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_37(a, ...) a, QO_FRONT_BUT_LAST_36(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_38(a, ...) a, QO_FRONT_BUT_LAST_37(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_39(a, ...) a, QO_FRONT_BUT_LAST_38(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_40(a, ...) a, QO_FRONT_BUT_LAST_39(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_41(a, ...) a, QO_FRONT_BUT_LAST_40(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_42(a, ...) a, QO_FRONT_BUT_LAST_41(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_43(a, ...) a, QO_FRONT_BUT_LAST_42(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_44(a, ...) a, QO_FRONT_BUT_LAST_43(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_45(a, ...) a, QO_FRONT_BUT_LAST_44(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_46(a, ...) a, QO_FRONT_BUT_LAST_45(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_47(a, ...) a, QO_FRONT_BUT_LAST_46(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_48(a, ...) a, QO_FRONT_BUT_LAST_47(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_49(a, ...) a, QO_FRONT_BUT_LAST_48(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_50(a, ...) a, QO_FRONT_BUT_LAST_49(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_51(a, ...) a, QO_FRONT_BUT_LAST_50(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_52(a, ...) a, QO_FRONT_BUT_LAST_51(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_53(a, ...) a, QO_FRONT_BUT_LAST_52(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_54(a, ...) a, QO_FRONT_BUT_LAST_53(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_55(a, ...) a, QO_FRONT_BUT_LAST_54(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_56(a, ...) a, QO_FRONT_BUT_LAST_55(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_57(a, ...) a, QO_FRONT_BUT_LAST_56(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_58(a, ...) a, QO_FRONT_BUT_LAST_57(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_59(a, ...) a, QO_FRONT_BUT_LAST_58(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_60(a, ...) a, QO_FRONT_BUT_LAST_59(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_61(a, ...) a, QO_FRONT_BUT_LAST_60(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_62(a, ...) a, QO_FRONT_BUT_LAST_61(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_63(a, ...) a, QO_FRONT_BUT_LAST_62(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_64(a, ...) a, QO_FRONT_BUT_LAST_63(__VA_ARGS__)
/* __extension__: -Wpedantic would tell of the union at every call. */
#define qo_run(...)                                                                    \
    (__extension__(QO_ARGV_CHECK_(__VA_ARGS__),                                        \
                   qo_run_front_(__VA_ARGS__, __LINE__, __FILE__)))
#define qo_pipeline(...)                                                               \
    (__extension__(QO_STAGES_CHECK_(QO_FRONT_BUT_LAST_(__VA_ARGS__)),                  \
                   qo_pipeline_front_(__VA_ARGS__, __LINE__, __FILE__)))
#define qo_start(...)                                                                  \
    (__extension__(QO_ARGV_CHECK_(__VA_ARGS__),                                        \
                   qo_start_front_(__VA_ARGS__, __LINE__, __FILE__)))
#define qo_pipeline_start(...)                                                         \
    (__extension__(QO_STAGES_CHECK_(__VA_ARGS__),                                      \
                   qo_pipeline_start_front_(__VA_ARGS__, __LINE__, __FILE__)))
#endif
#define qo_system_output(slot, ...)                                                    \
    qo_system_output_int((slot), __LINE__, __FILE__, __VA_ARGS__)
#define qo_str_reset(slot, ...)                                                        \
    qo_str_reset_int((slot), __LINE__, __FILE__, __VA_ARGS__)

#ifdef __cplusplus
}
#endif

#endif /* QO_H */
