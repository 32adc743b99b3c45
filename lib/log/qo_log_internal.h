// What the rest of the library asks of the debug log beyond qo.h. How the
// log meets fork, exit and signals is told once, in qo_log_end.cpp.
#pragma once

#include "exit/qo_err_internal.h"

#include <cstdint>

namespace qo_log {

// An entry for a call that promises to return in time, such as a run with
// a deadline: it waits for the log until deadline_us (monotonic, in
// microseconds; 0 for none), 2 seconds at most, and 10 ms at least, so
// that a busy log does not cost it. An entry that the log cannot take by
// then is dropped, and counted: the count goes to the log before the next
// entry that gets through, or to standard error when the process ends.
[[gnu::format(printf, 4, 5)]] void entry_until(int64_t deadline_us, int level,
                                               const qo_err::Site &site,
                                               const char *format, ...) noexcept;

// Writes out the buffered entries, so that what a child process or a
// command then writes to the same file lands after them. Gives up at
// deadline_us (0: none), and after 2 seconds on a stuck writer, or a file
// that takes nothing: what is left stays buffered.
void flush(int64_t deadline_us = 0) noexcept;

// Flushes and closes the log for a process that is about to end. Safe in a
// signal handler that interrupted an entry of the same thread: the entry
// being written may be lost, the whole ones before it are not. The path is
// not released, as malloc may be what the handler interrupted.
void close_at_exit() noexcept;

// For a thread that will never run again: if a signal handler of this
// thread interrupted an entry, the lock goes back, so that the thread that
// ends the process can still flush.
void release_if_held_here() noexcept;

// For the log itself: a reopen asked of the file before is no longer
// wanted, as a fresh file is being opened.
void forget_reopen() noexcept;

// For the log itself, once a log is open: the handlers that flush before
// fork() and at exit().
void watch_the_end() noexcept;

} // namespace qo_log
