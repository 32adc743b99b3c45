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

// qo_run() for the given call site, leaving errno alone. front names the
// caller's front ("qo_run") in the messages that tell of its arguments.
Outcome run(const char *const argv[], const qo_run_options &options,
            const qo_err::Site &site, const char *front) noexcept;

// Runs the stages as one job, each one's stdout feeding the next one's
// stdin, and logs the run. statuses receives each stage's wait status, or
// -1 for a stage not started or whose status was lost. The outcome's
// status is what qo_pipeline() returns.
Outcome run_stages(const Stages &stages, const qo_run_options &options, int statuses[],
                   const qo_err::Site &site, const char *front) noexcept;

// The call site of a front: the caller's function when it gave one (the
// entries since 1.5), else the entry's own name, as 1.4's entries logged.
inline qo_err::Site site_of(int line, const char *file, const char *func,
                            const char *entry) noexcept
{
    return {line, file, func ? func : entry};
}

// The stages of a pipeline counted; ends the process when there are none,
// one is empty or stages is NULL, naming qo_pipeline_start() when start.
size_t count_stages(const char *const *const stages[], const qo_err::Site &site,
                    bool start) noexcept;

// What every front (qo_run(), qo_pipeline(), a held job's wait) returns for
// a job whose count stages were all started and waited for: the one place
// of the rule, so that no front can drop a part of it. That of the last
// stage that failed, or 0; for one stage, its own. A job cut short by its
// deadline or a stop never reads as a success: see the definition.
int returned_status(const int statuses[], size_t count, bool cut_short,
                    int stop_signal) noexcept;

} // namespace qo_run
