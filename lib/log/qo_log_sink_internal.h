// The log's file and its buffer, or the journal, behind the log's lock. Internal to the
// log: qo_log_write.cpp writes entries into it, qo_log_end.cpp flushes it at the
// ends of a process (see the protocol there).
#pragma once

#include "qo.h"
#include "exit/qo_err_internal.h"

#include <cstddef>
#include <cstdint>

namespace qo_log_sink {

// ---- Time, in microseconds on the monotonic clock. A wait given a
// deadline gives up then, and 2 seconds after the first bounded wait for
// the same thing (the lock's holder, or room in the file) began: whatever
// holds it out is stuck, in a write to a reader that stopped reading.

constexpr int64_t forever = INT64_MAX; // no deadline: waits as long as it takes
constexpr int64_t stuck_after_us = 2000000;
int64_t now_us() noexcept;
inline int64_t soon() noexcept
{
    return now_us() + stuck_after_us;
}

// ---- The lock. "Held by this thread" is exact at every instruction, so a
// signal handler can ask it wherever the signal landed.

void lock() noexcept;
void unlock() noexcept;

// False when the lock was not taken by the deadline.
bool lock_until(int64_t deadline) noexcept;

bool held_here() noexcept;

// In a fork() child, whose other threads are gone: a lock that one of them
// held is free again, and the buffer it may have been filling is dropped,
// as the parent writes it; so is the buffer when the fork handlers hold
// the lock (fork_holds), whatever their flush left in it.
void reset_in_child(bool fork_holds) noexcept;

// ---- The file and the buffer; every call with _locked holds the lock.

// Opens path for appending, outside the lock: -1 on failure.
int open_file(const char *path) noexcept;

// What a log held when it was closed or replaced, closed outside the lock.
struct Detached {
    char *path, *identifier;
    int fd, error;
};

// Flushes the log and takes it off; the level goes to 0.
Detached detach_locked() noexcept;
// Closes what was detached, reporting a failure, and frees its path.
void release(const Detached &old) noexcept;
// A log that replaces a detached one; path is the sink's from now on.
void attach_locked(char *path, int fd, int level) noexcept;
// The journal, on a socket from qo_log_journal::connect_socket(); name is
// what messages call it. Both strings are the sink's from now on.
void attach_journal_locked(char *name, char *identifier, int fd, int level) noexcept;
// A copy of a caller's descriptor, which reopening leaves as it is; name
// is what messages call it, the sink's from now on.
void attach_copy_locked(char *name, int fd, int level) noexcept;
// Whether the entries go to the journal, read without the lock: an entry
// laid out for one kind of log and added to the other, which a log opened
// meanwhile can cause, is still added, as the message with its header or
// without its stamps.
bool journal() noexcept;
// Closes the file and leaves the path, which may be freed only where
// malloc may be called: for a process about to end.
void close_for_exit_locked(int64_t deadline) noexcept;

// Closes the file and opens the path again, flushing first: a log rotated
// away (renamed) goes on in a new file at the path. A path that cannot be
// opened keeps the old file. False when the flush ran out of time: the
// file is kept, to be reopened later.
bool reopen_locked(int64_t deadline) noexcept;

// Not while the log is off, nor, once the process has ended its other
// writers, on any thread but the one ending it.
bool may_write_locked() noexcept;
const char *path_locked() noexcept;
// One entry: the whole of it for a file, its parts for the journal.
struct Record {
    const char *text; // header, message and line feed, stamps included
    size_t size;
    const char *message; // the message alone
    size_t message_size;
    int level;
    const qo_err::Site *site; // NULL for the log's own entries
};
// With a deadline, an entry that the buffer has no room for and the file
// will not take in time is dropped, and counted: the count is written as
// an entry of its own before the next entry that gets through.
void append_locked(const Record &entry, int64_t deadline = forever) noexcept;
// False when the file took not all by the deadline; the rest stays.
bool flush_reporting_locked(int64_t deadline = forever) noexcept;

// An entry that gave up on the lock.
void count_dropped() noexcept;
// The count of dropped entries not yet written to the log, on standard
// error, for a process about to end. Async-signal-safe.
void tell_dropped() noexcept;

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
