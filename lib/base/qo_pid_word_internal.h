// A process, group or thread id (or a state of the process's own) paired
// with the process that recorded it, in one word that a lock-free atomic
// holds, so that a signal handler may read it. A forked child inherits
// the words of its parent, and tells them from its own: the ids in them
// are its parent's to act on. A leaf. Internal to the library.
#pragma once

#include <cstdint>
#include <unistd.h>

namespace qo_pid_word {

// The process's id, asked once: a forked child forgets it (a fork handler
// registered before any other of the library's), so that it asks again.
// Async-signal-safe.
uint32_t self() noexcept;

// Never 0: a process id is never 0, so 0 stays free for "no entry".
inline uint64_t make(uint32_t id) noexcept
{
    return uint64_t{self()} << 32 | id;
}

// Recorded by this process, not inherited from the one that forked it.
inline bool ours(uint64_t word) noexcept
{
    return word >> 32 == self();
}

inline pid_t id(uint64_t word) noexcept
{
    return static_cast<pid_t>(word & UINT32_MAX);
}

} // namespace qo_pid_word
