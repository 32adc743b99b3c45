// The one way the library ends a process on an unrecoverable failure.
#include "qo.h"
#include "exit/qo_err_internal.h"
#include "base/qo_pid_word_internal.h"
#include "exit/qo_tell_internal.h"

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

extern "C" {
qo_exit_hook_fn qo_exit_hook = nullptr;
}

namespace {

// The thread ending the process, as its process and thread ids: a forked
// child has a new id for every thread, so it can tell that the one ending
// is in its parent, not in itself.
std::atomic<uint64_t> ending_thread{0};

pid_t thread_id() noexcept
{
#if QO_HAVE_GETTID
    return gettid();
#else
    return static_cast<pid_t>(syscall(SYS_gettid));
#endif
}

std::atomic<qo_err::FailureEntry> failure_entry{nullptr};

// Filled once per module and read by qo_exit(), maybe in a signal
// handler: a fixed table of atomics.
constexpr size_t exit_actions = 8;
std::atomic<qo_err::ExitAction> actions[3][exit_actions];

void run_actions(qo_err::ExitStage stage) noexcept
{
    for (auto &slot : actions[static_cast<int>(stage)])
        if (const qo_err::ExitAction action = slot.load())
            action();
}

// True for the first caller, which runs the hook. The same thread coming
// back (from a hook that failed in turn, or from a signal handler) goes on
// to the end without running the hook again, or a broken clean-up would
// loop instead of ending. Any other thread waits for the first one to end
// the process, so that its clean-up is never cut short. A child forked
// while its parent was ending waits for no one and leaves the hook to the
// parent: the clean-up is the parent's to do, once.
bool first_to_end() noexcept
{
    const uint64_t self = qo_pid_word::make(thread_id());
    uint64_t ender = 0;
    if (ending_thread.compare_exchange_strong(ender, self))
        return true;
    if (ender == self || !qo_pid_word::ours(ender))
        return false;
    run_actions(qo_err::ExitStage::parked);
    for (;;)
        pause();
}

// The parent sees only the low byte: 256 would read as success.
int parent_status(int status) noexcept
{
    return status != 0 && (status & 0xff) == 0 ? 255 : status;
}

// ---- An end that never hangs --------------------------------------------
//
// exit() takes locks of the C library: the fork-handler lock (to unregister
// each module's handlers), malloc's (in atexit handlers and destructors).
// A handler that interrupted their holder in its own thread would wait for
// itself for ever. Where that is known, the end skips exit(); elsewhere a
// timer ends the process with the same status if exit() has not by then.

// The thread running fork() or pthread_atfork(), while the C library holds
// its fork-handler lock, as a word of qo_pid_word: its handlers tell. Fork
// handlers run one fork at a time, under that lock.
std::atomic<uint64_t> in_fork_lock{0};

void entering_fork() noexcept
{
    in_fork_lock.store(qo_pid_word::make(uint32_t(thread_id())));
}

void leaving_fork() noexcept
{
    in_fork_lock.store(0);
}

// Registered first of the library's handlers, so that its prepare runs
// last and its parent and child handlers first: the lock is held around
// them in a threaded program.
[[gnu::constructor]] void watch_forks() noexcept
{
    qo_err::at_fork(entering_fork, leaving_fork, leaving_fork);
}

bool fork_lock_held_here() noexcept
{
    return in_fork_lock.load() == qo_pid_word::make(uint32_t(thread_id()));
}

// exit() has this long to run the atexit handlers and static destructors.
constexpr int exit_bound_s = 2;
std::atomic<int> exit_status{0};

void end_now(int /*signal*/) noexcept
{
    _exit(exit_status.load());
}

// SIGALRM ends the process with its status from now on, and comes in
// exit_bound_s seconds; this thread takes it, whatever its mask.
void bound_exit(int status) noexcept
{
    exit_status.store(status);
    struct sigaction now = {};
    now.sa_handler = end_now;
    sigaction(SIGALRM, &now, nullptr);
    sigset_t alarm_only;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &alarm_only, nullptr);
    itimerval once = {};
    once.it_value.tv_sec = exit_bound_s;
    setitimer(ITIMER_REAL, &once, nullptr);
}

[[noreturn]] void end(int status) noexcept
{
    if (fork_lock_held_here())
        _exit(status);
    bound_exit(status);
    exit(status);
}

} // namespace

void qo_err::at_exit(ExitStage stage, ExitAction action) noexcept
{
    for (auto &slot : actions[static_cast<int>(stage)]) {
        ExitAction none = nullptr;
        if (slot.compare_exchange_strong(none, action) || none == action)
            return;
    }
}

void qo_err::at_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept
{
    entering_fork();
    pthread_atfork(prepare, parent, child);
    leaving_fork();
}

void qo_err::log_failures_with(FailureEntry entry) noexcept
{
    failure_entry.store(entry);
}

void qo_err::fail(const Site &site, int status, const char *message) noexcept
{
    if (const FailureEntry entry = failure_entry.load())
        entry(site, message);
    qo_exit(status, message);
}

extern "C" void qo_exit(int status, const char *message) noexcept
{
    if (first_to_end() && qo_exit_hook)
        qo_exit_hook(status, message);
    run_actions(qo_err::ExitStage::before_message);
    if (message)
        qo_tell::tell(message);
    run_actions(qo_err::ExitStage::after_message);
    end(parent_status(status));
}
