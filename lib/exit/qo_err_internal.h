// How the library ends the process on a failure it cannot hand back: a
// level-1 log line for the call site (message, then "Exiting..."), then
// qo_exit() with the message. Internal to the library.
#pragma once

namespace qo_err {

// Where a failure is reported from: the caller's call site for routines
// that take one, the library's own for those that do not.
struct Site {
    int line;
    const char *file;
    const char *routine;
};

// What a module of the library must do when qo_exit() ends the process,
// so that qo_exit() needs to know none of them. Each stage's actions run
// in the order they were registered; every action is async-signal-safe,
// as qo_exit() may run in a signal handler.
enum class ExitStage {
    before_message, // the application's hook has run: stop what runs
    after_message,  // the message is out: close what is open
    parked,         // another thread is ending the process; this one waits
};
using ExitAction = void (*)() noexcept;
// Safe to call more than once with the same action: it is kept once. A
// full table (a handful of entries) drops the action.
void at_exit(ExitStage stage, ExitAction action) noexcept;

// pthread_atfork(), through which every module of the library registers its
// fork handlers: the C library holds its fork-handler lock meanwhile, which
// qo_exit() must know of, should a signal handler end the process there.
void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept;

// How fail() writes its level-1 entry, set by the log once a log is open:
// until then there is nowhere to write it, and this module needs nothing
// of the log.
using FailureEntry = void (*)(const Site &site, const char *message) noexcept;
void log_failures_with(FailureEntry entry) noexcept;

[[noreturn, gnu::cold]] void fail(const Site &site, int status,
                                  const char *message) noexcept;

// A routine that needs an argument and got NULL: message names both, as
// "qo_shell_quote: NULL input", so the reader knows what to look for.
inline void require(const void *argument, const Site &site,
                    const char *message) noexcept
{
    if (!argument) [[unlikely]]
        fail(site, -1, message);
}

} // namespace qo_err
