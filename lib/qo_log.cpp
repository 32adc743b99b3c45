// The process-wide debug log. Its troubles go to standard error and it
// never ends the process: a log that cannot be set up simply stays off.
//
// Threads: log_mutex guards the path and the stream, and is held for a
// whole entry, so entries never interleave and opening or closing never
// pulls the stream from under a writer. The stream is set to
// FSETLOCKING_BYCALLER, so stdio does not lock it again on every call; an
// entry therefore costs one lock, not one per stdio call. The level is read
// without the lock: a filtered-out call costs a load and a compare.
#include "qo.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <stdio_ext.h>

namespace {

// A pthread mutex rather than std::mutex, whose failure path lives in the
// C++ runtime: C programs link the library without it.
pthread_mutex_t log_mutex = PTHREAD_MUTEX_INITIALIZER;

class LogLock {
  public:
    LogLock() noexcept { pthread_mutex_lock(&log_mutex); }
    ~LogLock() { pthread_mutex_unlock(&log_mutex); }
    LogLock(const LogLock &) = delete;
    LogLock &operator=(const LogLock &) = delete;
};
char *log_path; // heap copy of the path given to qo_log_open
FILE *log_stream;
std::atomic<int> log_level{0};

const char *or_null(const char *s) noexcept
{
    return s ? s : "(null)";
}

void close_locked() noexcept
{
    if (log_stream && fclose(log_stream) != 0)
        fprintf(stderr, "Unable to close %s\n", or_null(log_path));
    free(log_path);
    log_path = nullptr;
    log_stream = nullptr;
    log_level.store(0, std::memory_order_relaxed);
}

// Called after the reason has been printed.
void turn_off_locked() noexcept
{
    fputs("Logging desactivated\n", stderr);
    close_locked();
}

// Kept out of line so that a filtered-out call returns before paying
// for this body's registers and stack.
[[gnu::noinline, gnu::format(printf, 5, 0)]] void
write_entry(int level, int line, const char *file, const char *routine,
            const char *format, va_list ap) noexcept
{
    const LogLock lock;
    if (!log_path || !log_stream)
        return;
    if (level <= 0)
        fputs_unlocked("INFO: ", log_stream);
    else
        fprintf(log_stream, "DBG%d: %s->%s#%d: ", level, or_null(file),
                or_null(routine), line);
    if (vfprintf(log_stream, format, ap) < 0)
        fprintf(stderr, "Unable to print to %s\n", log_path);
    fputc_unlocked('\n', log_stream);
}

} // namespace

extern "C" void qo_log_open(const char *path, int level) noexcept
{
    const LogLock lock;
    close_locked();
    if (asprintf(&log_path, "%s", path) < 0) {
        log_path = nullptr;
        fputs("Unable to alloc memory\n", stderr);
        turn_off_locked();
        return;
    }
    // Always append: an existing log is history worth keeping. "e" keeps
    // the stream out of the commands run through the shell.
    log_stream = fopen(log_path, "ae");
    if (!log_stream) {
        fprintf(stderr, "Unable to write to %s\n", log_path);
        turn_off_locked();
        return;
    }
    __fsetlocking(log_stream, FSETLOCKING_BYCALLER);
    log_level.store(level, std::memory_order_relaxed);
}

extern "C" void qo_log_close(void) noexcept
{
    const LogLock lock;
    close_locked();
}

extern "C" void qo_log_set_level(int level) noexcept
{
    log_level.store(level, std::memory_order_relaxed);
}

extern "C" void qo_log_int(int level, int line, const char *file, const char *routine,
                           const char *format, ...) noexcept
{
    if (level > log_level.load(std::memory_order_relaxed) || !format)
        return;
    va_list ap;
    va_start(ap, format);
    write_entry(level, line, file, routine, format, ap);
    va_end(ap);
}
