// The process-wide debug log: what qo.h offers. Its troubles go to
// standard error and it never ends the process: a log that cannot be set
// up simply stays off.
//
// An entry is laid out whole on the caller's stack (the heap when long),
// outside any lock (qo_log_entry.cpp), then copied into the log's buffer
// under its lock (qo_log_sink.cpp). The level is an exported int read
// without the lock, so the qo_log() front tests it before it evaluates
// its arguments: a filtered-out call costs a load and a compare.
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
#include <cstring>

namespace sink = qo_log_sink;

namespace {

using qo_tell::tell;

// Raised by qo_log_reopen(), maybe in a signal handler; the next entry
// reopens the file, where the lock may be taken.
std::atomic<bool> reopen_wanted{false};

// Kept out of line so that a filtered-out call returns before paying
// for this body's registers and stack. Waits as long as it takes without
// a deadline (sink::forever). With one, a thread that holds the lock
// already (a signal handler that interrupted an entry) drops the entry at
// once: the lock will not come.
[[gnu::noinline, gnu::format(printf, 4, 0)]] void
write_entry(int level, const qo_err::Site &site, int64_t deadline, const char *format,
            va_list ap) noexcept
{
    // The journal records the time and who itself, and takes a message
    // whole: its entries get no stamps.
    const unsigned stamps = sink::journal() ? 0 : qo_log_stamps::flags();
    qo_log_entry::Entry entry;
    const bool built = entry.build(
        qo_log_entry::Header(level, site.line, site.file, site.routine, stamps), format,
        ap, stamps);
    if (deadline == sink::forever) {
        sink::lock();
    } else if (sink::held_here() || !sink::lock_until(deadline)) {
        sink::count_dropped();
        return;
    }
    if (reopen_wanted.load(std::memory_order_relaxed) &&
        reopen_wanted.exchange(false) && !sink::reopen_locked(deadline))
        reopen_wanted.store(true, std::memory_order_relaxed);
    if (sink::may_write_locked()) {
        if (!built || !entry.printed())
            tell("Unable to print to ", sink::path_locked());
        if (built) {
            entry.stamp_locked();
            sink::append_locked({entry.data(), entry.size(), entry.message(),
                                 entry.message_size(), level, &site},
                                deadline);
        }
    }
    sink::unlock();
}

// The earlier of the deadline and 2 s from now; 10 ms from now at least.
int64_t entry_deadline(int64_t deadline) noexcept
{
    constexpr int64_t least_us = 10000;
    const int64_t now = sink::now_us();
    if (deadline <= 0)
        return now + sink::stuck_after_us;
    return std::clamp(deadline, now + least_us, now + sink::stuck_after_us);
}

} // namespace

// The file is opened before the lock is taken, so that a slow open (a FIFO
// nobody reads yet) stalls only the caller; the lock only swaps the files.
extern "C" void qo_log_open(const char *path, int level) noexcept
{
    qo_log::watch_the_end();
    reopen_wanted.store(false, std::memory_order_relaxed); // a fresh file
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

extern "C" void qo_log_reopen(void) noexcept
{
    reopen_wanted.store(true, std::memory_order_relaxed);
}

extern "C" void qo_log_set_level(int level) noexcept
{
    sink::set_level(level);
}

extern "C" void qo_log_flush_on(int level) noexcept
{
    sink::set_flush_level(level);
}

extern "C" void qo_log_int(int level, int line, const char *file, const char *routine,
                           const char *format, ...) noexcept
{
    if (level > sink::level() || !format)
        return;
    va_list ap;
    va_start(ap, format);
    write_entry(level, {line, file, routine}, sink::forever, format, ap);
    va_end(ap);
}

void qo_log::entry_until(int64_t deadline_us, int level, const qo_err::Site &site,
                         const char *format, ...) noexcept
{
    if (level > sink::level() || !format)
        return;
    va_list ap;
    va_start(ap, format);
    write_entry(level, site, entry_deadline(deadline_us), format, ap);
    va_end(ap);
}
