// The log at the ends of a process: fork, exit, qo_exit and the signal
// handlers that call it.
//
// Who may hold the log's lock, and for how long:
// - a thread adding an entry (reopening the file first when asked),
//   opening or closing the log, or flushing it before a command, for that
//   call only;
// - the thread that forks, from just before fork() until just after it in
//   both processes, so that the child gets a consistent, empty buffer;
// - a thread ending the process, for each stage of the end below.
// The lock word names its holder exactly (see qo_log_sink.cpp), so a
// signal handler that interrupted its own thread inside an entry knows it
// holds the lock, and works on without taking it again: the buffer holds
// whole entries at every step, and a write to a regular file is never
// interrupted before its count is kept, so only the interrupted entry is
// lost and none is written twice.
// The caller's entries, opens and closes wait for the lock, and for the
// file, as long as it takes: a log is not lossy. Every other wait gives up
// at a deadline, 2 seconds at most on the monotonic clock: fork, the flush
// before a command runs, each stage of the end, and the library's own
// entries in calls that promise to return in time (a run's, a fatal
// failure's). Past 2 seconds, the holder of the lock, or the file, is
// stuck (a write to a reader that stopped reading), and bounded waits give
// up at once until it moves. A bounded wait that holds the lock writes to
// a file that can block only what poll finds room for; what it cannot
// write stays in the buffer, and an entry it cannot place is dropped and
// counted, the count logged before the next entry that gets through, or
// told on standard error at the very end.
//
// The stages of the end, in order, and what each flushes:
// 0. A failure that ends the process logs its entry, bounded.
// 1. qo_exit() runs the application's hook, then prints its message: the
//    log is untouched, so the hook may still log.
// 2. qo_exit() closes the log: the buffer is flushed and the file closed,
//    the path kept (malloc may be what a signal handler interrupted).
//    What the file will not take in time is lost, and told so.
//    Other threads calling qo_exit() meanwhile wait for the end; one whose
//    handler interrupted its own entry gives the lock back first.
// 3. exit() runs the atexit handlers, the log's among them: from there on
//    every entry goes straight to the file, and the buffer is flushed.
//    Threads still logging while static destructors run lose nothing.
// 4. After every atexit handler and static destructor, the log's own
//    destructor flushes once more and lets only the ending thread write:
//    the kernel may cut another thread's write short when the process
//    ends, which would tear its entry. Then it tells of dropped entries.
// A fork() child starts with an empty buffer and a free lock: what was
// buffered is written once, by the parent, before the fork.
#include "exit/qo_err_internal.h"
#include "log/qo_log_internal.h"
#include "log/qo_log_sink_internal.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <pthread.h>

namespace sink = qo_log_sink;

namespace {

enum class Hold { locked, held_here, stuck };

Hold hold_for_end(int64_t until) noexcept
{
    if (sink::held_here())
        return Hold::held_here;
    return sink::lock_until(until) ? Hold::locked : Hold::stuck;
}

void let_go(Hold hold) noexcept
{
    if (hold == Hold::locked)
        sink::unlock();
}

// Guarded by the lock: the thread that took it for a fork, so that a fork
// from a handler that interrupted an entry leaves that entry's lock alone.
pthread_t forking{};
bool fork_holds = false;

void flush_before_fork() noexcept
{
    const int64_t until = sink::soon();
    if (sink::held_here() || !sink::lock_until(until))
        return;
    sink::flush_reporting_locked(until);
    forking = pthread_self();
    fork_holds = true;
}

bool fork_held_here() noexcept
{
    return sink::held_here() && fork_holds && pthread_equal(forking, pthread_self());
}

void unlock_in_parent() noexcept
{
    if (!fork_held_here())
        return;
    fork_holds = false;
    sink::unlock();
}

void unlock_in_child() noexcept
{
    const bool held = fork_held_here();
    sink::reset_in_child(held);
    if (!held)
        return;
    fork_holds = false;
    sink::unlock();
}

void flush_at_exit() noexcept
{
    sink::set_flush_level(INT_MAX);
    const int64_t until = sink::soon();
    const Hold hold = hold_for_end(until);
    if (hold != Hold::stuck)
        sink::flush_reporting_locked(until);
    let_go(hold);
}

// Entries dropped and never told of in the log are told of here, the
// last moment any could be.
[[gnu::destructor]] void end_other_writers() noexcept
{
    const int64_t until = sink::soon();
    const Hold hold = hold_for_end(until);
    if (hold != Hold::stuck) {
        sink::flush_reporting_locked(until);
        sink::end_other_writers_locked();
    }
    let_go(hold);
    sink::tell_dropped();
}

// The entry of a failure that ends the process: bounded, as the end it
// comes before.
void failure_entry(const qo_err::Site &site, const char *message) noexcept
{
    qo_log::entry_until(0, 1, site, "%s\nExiting...", message);
}

void register_handlers() noexcept
{
    qo_err::at_fork(flush_before_fork, unlock_in_parent, unlock_in_child);
    atexit(flush_at_exit);
    qo_err::at_exit(qo_err::ExitStage::after_message, qo_log::close_at_exit);
    qo_err::at_exit(qo_err::ExitStage::parked, qo_log::release_if_held_here);
    qo_err::log_failures_with(failure_entry);
}

pthread_once_t handlers_once = PTHREAD_ONCE_INIT;

} // namespace

void qo_log::watch_the_end() noexcept
{
    pthread_once(&handlers_once, register_handlers);
}

void qo_log::flush(int64_t deadline_us) noexcept
{
    int64_t until = sink::soon();
    if (deadline_us > 0 && deadline_us < until)
        until = deadline_us;
    if (sink::held_here() || !sink::lock_until(until))
        return;
    sink::flush_reporting_locked(until);
    sink::unlock();
}

void qo_log::close_at_exit() noexcept
{
    sink::set_level(0);
    const int64_t until = sink::soon();
    const Hold hold = hold_for_end(until);
    if (hold != Hold::stuck)
        sink::close_for_exit_locked(until);
    let_go(hold);
}

void qo_log::release_if_held_here() noexcept
{
    if (sink::held_here())
        sink::unlock();
}
