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
// An entry, an open or a close waits for the lock as long as it takes.
// Every other wait (fork, the flush before a command runs, each stage of
// the end) gives up after 2 seconds on the monotonic clock: the holder is
// stuck, in a write to a reader that stopped reading. The buffer is then
// left to it, and nobody waits again until it lets go.
//
// The stages of the end, in order, and what each flushes:
// 1. qo_exit() runs the application's hook, then prints its message: the
//    log is untouched, so the hook may still log.
// 2. qo_exit() closes the log: the buffer is flushed and the file closed,
//    the path kept (malloc may be what a signal handler interrupted).
//    Other threads calling qo_exit() meanwhile wait for the end; one whose
//    handler interrupted its own entry gives the lock back first.
// 3. exit() runs the atexit handlers, the log's among them: from there on
//    every entry goes straight to the file, and the buffer is flushed.
//    Threads still logging while static destructors run lose nothing.
// 4. After every atexit handler and static destructor, the log's own
//    destructor flushes once more and lets only the ending thread write:
//    the kernel may cut another thread's write short when the process
//    ends, which would tear its entry.
// A fork() child starts with an empty buffer and a free lock: what was
// buffered is written once, by the parent, before the fork.
#include "qo_err_internal.h"
#include "qo_log_internal.h"
#include "qo_log_sink_internal.h"

#include <climits>
#include <cstdlib>
#include <pthread.h>

namespace sink = qo_log_sink;

namespace {

enum class Hold { locked, held_here, stuck };

Hold hold_for_end() noexcept
{
    if (sink::held_here())
        return Hold::held_here;
    return sink::lock_bounded() ? Hold::locked : Hold::stuck;
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
    if (sink::held_here() || !sink::lock_bounded())
        return;
    sink::flush_reporting_locked();
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
    sink::reset_in_child();
    if (!held)
        return;
    fork_holds = false;
    sink::unlock();
}

void flush_at_exit() noexcept
{
    sink::set_flush_level(INT_MAX);
    const Hold hold = hold_for_end();
    if (hold != Hold::stuck)
        sink::flush_reporting_locked();
    let_go(hold);
}

[[gnu::destructor]] void end_other_writers() noexcept
{
    const Hold hold = hold_for_end();
    if (hold == Hold::stuck)
        return;
    sink::flush_reporting_locked();
    sink::end_other_writers_locked();
    let_go(hold);
}

void register_handlers() noexcept
{
    pthread_atfork(flush_before_fork, unlock_in_parent, unlock_in_child);
    atexit(flush_at_exit);
    qo_err::at_exit(qo_err::ExitStage::after_message, qo_log::close_at_exit);
    qo_err::at_exit(qo_err::ExitStage::parked, qo_log::release_if_held_here);
}

pthread_once_t handlers_once = PTHREAD_ONCE_INIT;

} // namespace

void qo_log::watch_the_end() noexcept
{
    pthread_once(&handlers_once, register_handlers);
}

void qo_log::flush() noexcept
{
    if (sink::held_here() || !sink::lock_bounded())
        return;
    sink::flush_reporting_locked();
    sink::unlock();
}

void qo_log::close_at_exit() noexcept
{
    sink::set_level(0);
    const Hold hold = hold_for_end();
    if (hold != Hold::stuck)
        sink::close_for_exit_locked();
    let_go(hold);
}

void qo_log::release_if_held_here() noexcept
{
    if (sink::held_here())
        sink::unlock();
}
