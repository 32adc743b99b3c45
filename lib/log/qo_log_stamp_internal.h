// What qo_log_stamp() adds to an entry's header: when, taken under the
// log's lock so that times never go back down the file, and who, taken by
// the writing thread. Internal to the log.
#pragma once

#include "qo.h"

#include <cstddef>
#include <sys/types.h>

namespace qo_log_stamps {

constexpr unsigned time_flags = QO_LOG_TIME | QO_LOG_TIME_US | QO_LOG_UPTIME;
constexpr unsigned who_flags = QO_LOG_PID | QO_LOG_TID;

// The QO_LOG_ flags asked for, read without the lock.
unsigned flags() noexcept;
void set(unsigned what) noexcept;

// "2026-12-09 10:42:07.123456 123456789.123456 " at most, with room over.
constexpr size_t when_max = 64;
// The time part of the header for flags, at out; returns its size. Reads
// one clock. Under the log's lock, which guards the clock's state.
size_t when_locked(char *out, unsigned flags) noexcept;
// The uptime counts from here; under the lock, as a log is attached.
void log_opened_locked() noexcept;

// "[pid/tid] ", "[pid] " or "[/tid] ", as flags ask; returns its size.
constexpr size_t who_max = 26;
size_t who(char *out, unsigned flags) noexcept;

// The calling thread's id, as gettid() has it, kept by the thread.
pid_t tid() noexcept;

} // namespace qo_log_stamps
