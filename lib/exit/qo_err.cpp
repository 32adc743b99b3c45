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
#include <ctime>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" {
qo_exit_hook_fn qo_exit_hook = nullptr;
#if defined(__GLIBC__)
int __clone(int (*fn)(void *), void *stack, int flags, void *arg, // NOLINT
            ...);
#endif
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
// thread of its own ends the process with the same status if exit() has
// not by then.

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

// The bound is a thread of its own that sleeps, then ends the process: no
// signal nor timer of the program's is taken or changed (its alarm(), its
// SIGALRM handler and timers go on through its exit). A thread the C
// library does not know of, made by clone() with a stack of its own, as
// pthread_create() takes locks and memory that the thread ending the
// process, maybe in a signal handler, may hold. It shares the TLS of the
// thread that made it, so it calls nothing but two system calls, with
// every signal blocked: no handler of the program's runs in it.
constexpr size_t watchdog_stack_size = 16384;
alignas(64) char watchdog_stack[watchdog_stack_size];
// The process whose watchdog runs, as a word of qo_pid_word: a child
// forked in an atexit() handler needs its own. The status is written
// before the thread is made.
std::atomic<uint64_t> watchdog_of{0};
int watchdog_status = 0;

__attribute__((no_sanitize("address", "thread", "undefined"))) int
watchdog(void *status)
{
    const timespec bound{exit_bound_s, 0};
    syscall(SYS_clock_nanosleep, CLOCK_MONOTONIC, 0, &bound, nullptr);
    syscall(SYS_exit_group, *static_cast<const int *>(status));
    return 0;
}

// Through the C library's own clone() where it is exported as __clone:
// ThreadSanitizer wraps clone() for children that share no memory, and
// would take this thread for a forked process.
int start_thread(int (*fn)(void *), void *stack, void *arg) noexcept
{
    const int flags = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD |
                      CLONE_SYSVSEM;
#if defined(__GLIBC__)
    return __clone(fn, stack, flags, arg);
#else
    return clone(fn, stack, flags, arg);
#endif
}

// Without a thread to spare (a full process table, a sandbox that refuses
// clone()), exit() goes unbounded.
void bound_exit(int status) noexcept
{
    const uint64_t self = qo_pid_word::make(1);
    if (watchdog_of.exchange(self) == self)
        return;
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    watchdog_status = status;
    start_thread(watchdog, watchdog_stack + watchdog_stack_size, &watchdog_status);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
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
