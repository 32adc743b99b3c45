// The log's file and its buffer, behind the log's lock. Internal to the
// log: qo_log.cpp writes entries into it, qo_log_end.cpp flushes it at the
// ends of a process (see the protocol there).
#pragma once

#include "qo.h"

#include <cstddef>

namespace qo_log_sink {

// ---- The lock. "Held by this thread" is exact at every instruction, so a
// signal handler can ask it wherever the signal landed.

void lock() noexcept;
void unlock() noexcept;

// Waits 2 seconds at most, on the monotonic clock, and never again until
// the holder lets go once it has been found stuck (in a write to a reader
// that stopped reading). False when the lock was not taken.
bool lock_bounded() noexcept;

bool held_here() noexcept;

// In a fork() child, whose other threads are gone: a lock that one of them
// held is free again, and the buffer it may have been filling is dropped,
// as the parent writes it.
void reset_in_child() noexcept;

// ---- The file and the buffer; every call with _locked holds the lock.

// Opens path for appending, outside the lock: -1 on failure.
int open_file(const char *path) noexcept;

// What a log held when it was closed or replaced, closed outside the lock.
struct Detached {
    char *path;
    int fd, error;
};

// Flushes the log and takes it off; the level goes to 0.
Detached detach_locked() noexcept;
// Closes what was detached, reporting a failure, and frees its path.
void release(const Detached &old) noexcept;
// A log that replaces a detached one; path is the sink's from now on.
void attach_locked(char *path, int fd, int level) noexcept;

// Closes the file and leaves the path, which may be freed only where
// malloc may be called: for a process about to end.
void close_for_exit_locked() noexcept;

// Closes the file and opens the path again, flushing first: a log rotated
// away (renamed) goes on in a new file at the path. A path that cannot be
// opened keeps the old file.
void reopen_locked() noexcept;

// Not while the log is off, nor, once the process has ended its other
// writers, on any thread but the one ending it.
bool may_write_locked() noexcept;
const char *path_locked() noexcept;
void append_locked(const char *entry, size_t size, int level) noexcept;
void flush_reporting_locked() noexcept;

// From then on only this thread writes.
void end_other_writers_locked() noexcept;

// Entries of level <= level reach the file at once.
void set_flush_level(int level) noexcept;

inline void set_level(int level) noexcept
{
    __atomic_store_n(&qo_log_level, level, __ATOMIC_RELAXED);
}

inline int level() noexcept
{
    return __atomic_load_n(&qo_log_level, __ATOMIC_RELAXED);
}

} // namespace qo_log_sink
