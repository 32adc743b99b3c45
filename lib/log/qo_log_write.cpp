// One entry written: laid out whole on the caller's stack (the heap when
// long), outside any lock (qo_log_entry.cpp), then copied into the log's
// buffer under its lock (qo_log_sink.cpp). The level is an exported int
// read without the lock, so the qo_log() front tests it before it
// evaluates its arguments: a filtered-out call costs a load and a compare.
// Every entry of the library and of its callers passes here.
#include "qo.h"
#include "log/qo_log_entry_internal.h"
#include "log/qo_log_internal.h"
#include "log/qo_log_sink_internal.h"
#include "log/qo_log_stamp_internal.h"
#include "exit/qo_tell_internal.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>

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

void qo_log::forget_reopen() noexcept
{
    reopen_wanted.store(false, std::memory_order_relaxed);
}

extern "C" void qo_log_reopen(void) noexcept
{
    reopen_wanted.store(true, std::memory_order_relaxed);
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
