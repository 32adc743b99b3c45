// The process-wide debug log. Its troubles go to standard error and it
// never ends the process: a log that cannot be set up simply stays off.
#include "qo.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

char *log_path; // heap copy of the path given to qo_log_open
FILE *log_stream;
int log_level;

const char *or_null(const char *s) noexcept
{
    return s ? s : "(null)";
}

// Called after the reason has been printed.
void log_off() noexcept
{
    fputs("Logging desactivated\n", stderr);
    qo_log_close();
}

} // namespace

extern "C" void qo_log_open(const char *path, int level) noexcept
{
    qo_log_close();
    if (asprintf(&log_path, "%s", path) < 0) {
        log_path = nullptr;
        fputs("Unable to alloc memory\n", stderr);
        log_off();
        return;
    }
    // Always append: an existing log is history worth keeping. "e" keeps
    // the stream out of the commands run through the shell.
    log_stream = fopen(log_path, "ae");
    if (!log_stream) {
        fprintf(stderr, "Unable to write to %s\n", log_path);
        log_off();
        return;
    }
    log_level = level;
}

extern "C" void qo_log_close(void) noexcept
{
    if (log_stream && fclose(log_stream) != 0)
        fprintf(stderr, "Unable to close %s\n", or_null(log_path));
    free(log_path);
    log_path = nullptr;
    log_stream = nullptr;
    log_level = 0;
}

extern "C" void qo_log_set_level(int level) noexcept
{
    log_level = level;
}

extern "C" void qo_log_int(int level, int line, const char *file, const char *routine,
                           const char *format, ...) noexcept
{
    if (level > log_level || !log_path || !log_stream || !format)
        return;
    if (level <= 0)
        fputs("INFO: ", log_stream);
    else
        fprintf(log_stream, "DBG%d: %s->%s#%d: ", level, or_null(file),
                or_null(routine), line);
    va_list ap;
    va_start(ap, format);
    if (vfprintf(log_stream, format, ap) < 0)
        fprintf(stderr, "Unable to print to %s\n", log_path);
    va_end(ap);
    fputc('\n', log_stream);
}
