// The command runner's entry for the other modules, and what its fronts
// share. Internal to the library.
#pragma once

#include "qo.h"
#include "run/base/qo_run_base_internal.h"

#include <cstddef>
#include <cstdint>

namespace qo_run {

struct Outcome {
    int status; // as qo_run() returns it
    int error;  // for errno
};

// qo_run() for the given call site, leaving errno alone.
Outcome run(const char *const argv[], const qo_run_options &options,
            const qo_err::Site &site) noexcept;

// Runs the stages as one job, each one's stdout feeding the next one's
// stdin, and logs the run. statuses receives each stage's wait status, or
// -1 for a stage not started or whose status was lost. The outcome's
// status is 0 when every stage was started and waited for, else -1.
Outcome run_stages(const Stages &stages, const qo_run_options &options, int statuses[],
                   const qo_err::Site &site) noexcept;

// The stages of a pipeline counted; ends the process when there are none,
// one is empty or stages is NULL, naming qo_pipeline_start() when start.
size_t count_stages(const char *const *const stages[], const qo_err::Site &site,
                    bool start) noexcept;

// The status of a run of count stages, as qo_pipeline() returns it: that
// of the last stage that failed, or 0; for one stage, its own.
int pipeline_status(const int statuses[], size_t count) noexcept;

} // namespace qo_run
