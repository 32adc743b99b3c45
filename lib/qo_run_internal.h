// The command runner's entry for the other modules. Internal to the
// library.
#pragma once

#include "qo.h"
#include "qo_err_internal.h"

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

} // namespace qo_run_internal
