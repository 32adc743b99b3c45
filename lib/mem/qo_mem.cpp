// Checked wrappers over the C library's allocation, formatting, line
// reading and environment calls. A refusal never reaches the caller: it is
// logged with the caller's call site and ends the process.
#include "qo.h"
#include "exit/qo_err_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>

namespace {

using qo_err::fail;
using qo_err::require;

[[gnu::format(printf, 4, 0)]] int vasprintf_checked(char **slot, int line,
                                                    const char *file,
                                                    const char *format,
                                                    va_list ap) noexcept
{
    int n = vasprintf(slot, format, ap);
    if (n < 0)
        fail({line, file, "qo_asprintf"}, n, "Unable to alloc memory in qo_asprintf");
    return n;
}

// Appends length bytes to the string in the slot (an empty slot receives
// them). The block grows geometrically into the room the allocator
// reports, so that many small appends cost a few reallocations, not one
// copy of the whole string each.
void append(char **slot, int line, const char *file, const char *text,
            size_t length) noexcept
{
    const size_t used = *slot ? strlen(*slot) : 0;
    const size_t room = *slot ? malloc_usable_size(*slot) : 0;
    const size_t needed = used + length + 1;
    if (needed > room) {
        auto *grown = static_cast<char *>(realloc(*slot, std::max(needed, 2 * room)));
        if (!grown) // the spare room is a luxury; the text is not
            grown = static_cast<char *>(realloc(*slot, needed));
        if (!grown)
            fail({line, file, "qo_strcat_int"}, -1,
                 "Unable to alloc memory in qo_strcat");
        *slot = grown;
    }
    memcpy(*slot + used, text, length);
    (*slot)[used + length] = '\0';
}

// getdelim() stops short of a line feed at the end of input, or when a read
// fails, keeping the bytes read before. A signal that cut a read short
// (EINTR) is no reason to give up the line; any other error is.
bool read_on(FILE *stream, int error, const qo_err::Site &site) noexcept
{
    if (feof(stream))
        return false;
    if (error != EINTR)
        fail(site, -1, "Unable to alloc memory in qo_getline");
    clearerr(stream); // the signal was handled: the stream is sound
    return true;
}

// The rest of a line whose first length bytes are in the slot, read until
// its line feed or the end of input. Returns the whole line's length.
size_t read_rest(char **slot, size_t length, FILE *stream, int error,
                 const qo_err::Site &site) noexcept
{
    char *piece = nullptr;
    size_t size = 0;
    bool whole = false;
    while (!whole && read_on(stream, error, site)) {
        errno = 0;
        const ssize_t n = getdelim(&piece, &size, '\n', stream);
        error = errno;
        if (n <= 0)
            continue;
        const auto got = static_cast<size_t>(n);
        auto *joined = static_cast<char *>(realloc(*slot, length + got + 1));
        if (!joined)
            fail(site, -1, "Unable to alloc memory in qo_getline");
        memcpy(joined + length, piece, got + 1);
        *slot = joined;
        length += got;
        whole = piece[got - 1] == '\n';
    }
    free(piece);
    return length;
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
        fail({line, file, "qo_malloc"}, -1, "Unable to alloc memory in qo_malloc");
    return p;
}

extern "C" int(qo_asprintf)(char **slot, int line, const char *file, const char *format,
                            ...) noexcept
{
    require(slot, {line, file, "qo_asprintf"}, "qo_asprintf: NULL slot");
    require(format, {line, file, "qo_asprintf"}, "qo_asprintf: NULL format");
    va_list ap;
    va_start(ap, format);
    int n = vasprintf_checked(slot, line, file, format, ap);
    va_end(ap);
    return n;
}

extern "C" ssize_t qo_getline_int(char **slot, FILE *stream, int line,
                                  const char *file) noexcept
{
    const qo_err::Site site{line, file, "qo_getline_int"};
    require(slot, site, "qo_getline: NULL slot");
    require(stream, site, "qo_getline: NULL stream");
    if (*slot) {
        qo_log_int(1, line, file, "qo_getline_int",
                   "qo_getline_ found a non freed variable here");
        (qo_free)(slot, line, file);
    }
    size_t size = 0;
    errno = 0;
    const ssize_t n = getdelim(slot, &size, '\n', stream);
    const int error = errno;
    if (n > 0 && (*slot)[n - 1] == '\n')
        return n;
    const size_t length =
        read_rest(slot, n > 0 ? static_cast<size_t>(n) : 0, stream, error, site);
    if (length == 0) {
        if (*slot)
            (qo_free)(slot, line, file);
        (qo_asprintf)(slot, line, file, "%s", "");
    }
    return static_cast<ssize_t>(length);
}

extern "C" int qo_setenv_int(const char *name, const char *value, int line,
                             const char *file) noexcept
{
    if (!name)
        fail({line, file, "qo_setenv_int"}, -1, "Unable to setenv a NULL variable");
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
    // The text is formatted before the slot's string is touched, since the
    // arguments may point into it. Short texts need no allocation.
    char small[256];
    char *text = small;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(small, sizeof small, format, ap);
    va_end(ap);
    if (n >= static_cast<int>(sizeof small)) {
        va_start(ap, format);
        n = vasprintf(&text, format, ap);
        va_end(ap);
    }
    if (n < 0)
        fail({line, file, "qo_strcat_int"}, n, "Unable to alloc memory in qo_strcat");
    append(slot, line, file, text, static_cast<size_t>(n));
    if (text != small)
        free(text);
}

extern "C" int qo_str_reset_int(char **slot, int line, const char *file,
                                const char *format, ...) noexcept
{
    require(slot, {line, file, "qo_str_reset_int"}, "qo_str_reset: NULL slot");
    require(format, {line, file, "qo_str_reset_int"}, "qo_str_reset: NULL format");
    // Formatted before the old string goes, since the arguments may be it.
    char *fresh = nullptr;
    va_list ap;
    va_start(ap, format);
    const int n = vasprintf_checked(&fresh, line, file, format, ap);
    va_end(ap);
    free(*slot);
    *slot = fresh;
    return n;
}
