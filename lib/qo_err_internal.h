// How the library ends the process on a failure it cannot hand back: a
// level-1 log line for the call site (message, then "Exiting..."), then
// qo_exit() with the message; and how it tells of troubles on standard
// error. Internal to the library.
#pragma once

namespace qo_err {

// Where a failure is reported from: the caller's call site for routines
// that take one, the library's own for those that do not.
struct Site {
    int line;
    const char *file;
    const char *routine;
};

// One line on standard error: text, more, then a line feed. write(2)
// rather than stdio, whose lock a signal handler or a fork may have
// interrupted; SIGPIPE and SIGXFSZ blocked, so that a standard error whose
// reader has gone, or a file at its size limit, costs the line, never the
// process.
void tell(const char *text, const char *more = "") noexcept;

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
