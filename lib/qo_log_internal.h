// What the rest of the library asks of the debug log beyond qo.h. How the
// log meets fork, exit and signals is told once, in qo_log_end.cpp.
#pragma once

namespace qo_log {

// Writes out the buffered entries, so that what a child process or a
// command then writes to the same file lands after them. A writer stuck
// for 2 seconds keeps them.
void flush() noexcept;

// Flushes and closes the log for a process that is about to end. Safe in a
// signal handler that interrupted an entry of the same thread: the entry
// being written may be lost, the whole ones before it are not. The path is
// not released, as malloc may be what the handler interrupted.
void close_at_exit() noexcept;

// For a thread that will never run again: if a signal handler of this
// thread interrupted an entry, the lock goes back, so that the thread that
// ends the process can still flush.
void release_if_held_here() noexcept;

// For the log itself, once a log is open: the handlers that flush before
// fork() and at exit().
void watch_the_end() noexcept;

} // namespace qo_log
