// The process-wide debug log: what qo.h offers. Its troubles go to
// standard error and it never ends the process: a log that cannot be set
// up simply stays off. This file opens, closes and sets it; an entry is
// written in qo_log_write.cpp.
#include "qo.h"
#include "log/qo_log_entry_internal.h"
#include "log/qo_log_internal.h"
#include "log/qo_log_journal_internal.h"
#include "log/qo_log_sink_internal.h"
#include "log/qo_log_stamp_internal.h"
#include "exit/qo_tell_internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sink = qo_log_sink;

using qo_tell::tell;

// The file is opened before the lock is taken, so that a slow open (a FIFO
// nobody reads yet) stalls only the caller; the lock only swaps the files.
extern "C" void qo_log_open(const char *path, int level) noexcept
{
    qo_log::watch_the_end();
    qo_log::forget_reopen(); // a fresh file
    char *copy = path ? strdup(path) : nullptr;
    const int fd = copy ? sink::open_file(copy) : -1;
    sink::lock();
    const sink::Detached old = sink::detach_locked();
    if (fd >= 0)
        sink::attach_locked(copy, fd, level);
    sink::unlock();
    sink::release(old);
    if (fd >= 0)
        return;
    if (path && !copy)
        tell("Unable to alloc memory");
    else
        tell("Unable to write to ", path ? path : "(null)");
    tell("Logging desactivated");
    free(copy);
}

namespace {

// The journal replaces whatever log was open, as a file does.
void replace_log(char *name, char *identifier, int fd, int level) noexcept
{
    sink::lock();
    const sink::Detached old = sink::detach_locked();
    if (fd >= 0)
        sink::attach_journal_locked(name, identifier, fd, level);
    sink::unlock();
    sink::release(old);
}

// "the systemd journal at <socket>", as messages name it; NULL when memory
// ran out.
char *journal_name() noexcept
{
    static constexpr char head[] = "the systemd journal at ";
    const size_t n = strlen(qo_log_journal::socket_path);
    char *name = static_cast<char *>(malloc(sizeof head + n));
    if (name) {
        memcpy(name, head, sizeof head - 1);
        memcpy(name + sizeof head - 1, qo_log_journal::socket_path, n + 1);
    }
    return name;
}

} // namespace

extern "C" void qo_log_open_journal(const char *identifier, int level) noexcept
{
    qo_log::watch_the_end();
    char *name = journal_name();
    char *copy = strdup(identifier ? identifier : program_invocation_short_name);
    const int fd = name && copy ? qo_log_journal::connect_socket() : -1;
    replace_log(name, copy, fd, level);
    if (fd >= 0)
        return;
    if (!name || !copy)
        tell("Unable to alloc memory");
    else
        tell("Unable to write to ", name);
    tell("Logging desactivated");
    free(name);
    free(copy);
}

// The log writes through its own copy of the descriptor, close-on-exec
// and above 2: closing the log closes the copy, never the caller's; and
// the copy shares the caller's file offset, so a log on a standard error
// that a shell pointed at the same file as stdout (>out 2>&1) appends to
// what stdout wrote instead of writing over it.
extern "C" void qo_log_open_fd(int fd, int level) noexcept
{
    qo_log::watch_the_end();
    qo_log::forget_reopen();
    char *name = static_cast<char *>(malloc(32));
    if (name)
        snprintf(name, 32, "descriptor %d", fd);
    const int copy = name && fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1) : -1;
    sink::lock();
    const sink::Detached old = sink::detach_locked();
    if (copy >= 0)
        sink::attach_copy_locked(name, copy, level);
    sink::unlock();
    sink::release(old);
    if (copy >= 0)
        return;
    if (!name)
        tell("Unable to alloc memory");
    else
        tell("Unable to write to ", name);
    tell("Logging desactivated");
    free(name);
}

extern "C" void qo_log_stamp(unsigned what) noexcept
{
    qo_log_stamps::set(what);
}

extern "C" void qo_log_close(void) noexcept
{
    sink::lock();
    const sink::Detached old = sink::detach_locked();
    sink::unlock();
    sink::release(old);
}

extern "C" void qo_log_set_level(int level) noexcept
{
    sink::set_level(level);
}

extern "C" void qo_log_flush_on(int level) noexcept
{
    sink::set_flush_level(level);
}
