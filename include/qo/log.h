/* qo's debug log: one per process, to a file or the systemd journal.
 * Part of <qo.h>. */
#ifndef QO_LOG_H
#define QO_LOG_H

#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

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

/* Log to a descriptor the caller already has (2: standard error), as to a
 * file: the same entries, locking, flush rules and bounds. qo writes
 * through a copy of it (close-on-exec, above 2) sharing its file offset;
 * qo_log_close() closes the copy and never fd itself, and qo_log_reopen()
 * leaves it as it is. A log already open is closed first; on failure (a
 * closed fd) the log stays off. When a log opens, qo_log_level is the
 * level given; when it does not, 0 (the reason is on standard error). */
QO_API void qo_log_open_fd(int fd, int level) QO_NOEXCEPT;

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

/* The front: fills in the caller's call site. */
/* A statement: the level is evaluated once, the other arguments only when
 * the entry is written. */
#define qo_log(level, ...)                                                             \
    do {                                                                               \
        const int qo_log_at_ = (level);                                                \
        if (qo_log_at_ <= __atomic_load_n(&qo_log_level, __ATOMIC_RELAXED))            \
            qo_log_int(qo_log_at_, __LINE__, __FILE__, __func__, __VA_ARGS__);         \
    } while (0)

#ifdef __cplusplus
}
#endif

#endif /* QO_LOG_H */
