// Checked wrappers over the C library's allocation, formatting, line
// reading and environment calls. A refusal never reaches the caller: it is
// logged with the caller's call site and ends the process.
#include "qo.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// For the failures whose log line is the exit message plus "Exiting...".
[[noreturn]] void fail(int status, int line, const char *file, const char *routine,
                       const char *message) noexcept
{
    qo_log_int(1, line, file, routine, "%s\nExiting...", message);
    qo_exit(status, message);
}

int vasprintf_checked(char **slot, int line, const char *file, const char *format,
                      va_list ap) noexcept
{
    int n = vasprintf(slot, format, ap);
    if (n < 0)
        fail(n, line, file, "qo_asprintf", "Unable to alloc memory in qo_asprintf");
    return n;
}

} // namespace

extern "C" void(qo_free)(char **slot, int line, const char *file) noexcept
{
    if (!slot || !*slot) {
        qo_log_int(8, line, file, "qo_free", "Attempt to free NULL pointer");
        return;
    }
    free(*slot);
    *slot = nullptr;
}

extern "C" void *(qo_malloc)(size_t size, int line, const char *file) noexcept
{
    // malloc(0) may legitimately return NULL; callers are promised a block.
    void *p = malloc(size ? size : 1);
    if (!p)
        fail(-1, line, file, "qo_malloc", "Unable to alloc memory in qo_malloc");
    return p;
}

extern "C" int(qo_asprintf)(char **slot, int line, const char *file, const char *format,
                            ...) noexcept
{
    va_list ap;
    va_start(ap, format);
    int n = vasprintf_checked(slot, line, file, format, ap);
    va_end(ap);
    return n;
}

extern "C" ssize_t qo_getline_int(char **slot, FILE *stream, int line,
                                  const char *file) noexcept
{
    if (*slot) {
        qo_log_int(1, line, file, "qo_getline_int",
                   "qo_getline_ found a non freed variable here");
        (qo_free)(slot, line, file);
    }
    size_t size = 0;
    ssize_t n = getdelim(slot, &size, '\n', stream);
    if (n >= 0)
        return n;
    if (feof(stream)) {
        if (*slot)
            (qo_free)(slot, line, file);
        (qo_asprintf)(slot, line, file, "%s", "");
        return 0;
    }
    fail(static_cast<int>(n), line, file, "qo_getline_int",
         "Unable to alloc memory in qo_getline");
}

extern "C" int qo_setenv_int(const char *name, const char *value, int line,
                             const char *file) noexcept
{
    if (!name)
        fail(-1, line, file, "qo_setenv_int", "Unable to setenv a NULL variable");
    if (!value) {
        qo_log_int(1, line, file, "qo_setenv_int",
                   "Unable to affect NULL to %s\nExiting...", name);
        qo_exit(-1, "Unable to affect a NULL variable");
    }
    if (setenv(name, value, 1) != 0) {
        qo_log_int(1, line, file, "qo_setenv_int", "Unable to put %s in environment",
                   name);
        qo_exit(-1, "Unable to put in environment");
    }
    return 0;
}

extern "C" void qo_strcat_int(char **slot, int line, const char *file,
                              const char *format, ...) noexcept
{
    if (!format)
        return;
    if (!slot) {
        qo_log_int(1, line, file, "qo_strcat_int",
                   "Unable to add to NULL pointer\nExiting...");
        qo_exit(-1, "Unable to add to a NULL pointer");
    }
    char *text = nullptr;
    va_list ap;
    va_start(ap, format);
    int n = vasprintf(&text, format, ap);
    va_end(ap);
    if (n < 0)
        fail(n, line, file, "qo_strcat_int", "Unable to alloc memory in qo_strcat");
    if (!*slot) {
        *slot = text;
        return;
    }
    // "%s%s" copies the old string as it is: a '%' in it stays plain text.
    char *joined = nullptr;
    (qo_asprintf)(&joined, line, file, "%s%s", *slot, text);
    (qo_free)(slot, line, file);
    (qo_free)(&text, line, file);
    *slot = joined;
}

extern "C" int qo_str_reset_int(char **slot, int line, const char *file,
                                const char *format, ...) noexcept
{
    if (*slot)
        (qo_free)(slot, line, file);
    va_list ap;
    va_start(ap, format);
    int n = vasprintf_checked(slot, line, file, format, ap);
    va_end(ap);
    return n;
}
