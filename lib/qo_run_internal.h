// The command runner's entry for the other modules, and the furniture its
// own files share. Internal to the library.
#pragma once

#include "qo.h"
#include "qo_err_internal.h"

#include <cstddef>
#include <cstdint>

namespace qo_run_internal {

struct Outcome {
    int status; // as qo_run() returns it
    int error;  // for errno
};

// qo_run() for the given call site, leaving errno alone.
Outcome run(const char *const argv[], const qo_run_options &options,
            const qo_fail::Site &site) noexcept;

// SIGKILL to the process group of every command still running, so that an
// ending process leaves none behind. Async-signal-safe.
void end_running() noexcept;

using qo_fail::Site;

[[noreturn]] void fail(const Site &site, const char *message) noexcept;
void *allocate(size_t size, const Site &site) noexcept;
int64_t now_us() noexcept; // monotonic
int64_t now_ms() noexcept;
void close_fd(int &fd) noexcept; // and sets it to -1

} // namespace qo_run_internal
