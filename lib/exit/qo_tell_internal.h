// The library's one writer to standard error. A leaf: it needs nothing of
// the library, so that the log and the fatal exit can both use it.
// Internal to the library.
#pragma once

namespace qo_tell {

// One line on standard error: text, more, then a line feed. write(2)
// rather than stdio, whose lock a signal handler or a fork may have
// interrupted; SIGPIPE and SIGXFSZ blocked, so that a standard error whose
// reader has gone, or a file at its size limit, costs the line, never the
// process. Async-signal-safe.
void tell(const char *text, const char *more = "") noexcept;

} // namespace qo_tell
