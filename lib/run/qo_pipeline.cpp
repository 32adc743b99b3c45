// Pipelines without a shell: the stages are one run of the command runner,
// one job, and the status is one a caller can trust: that of the last
// stage that failed (a failing tar before a happy zstd is not a success).
#include "qo.h"
#include "exit/qo_err_internal.h"
#include "run/qo_run_internal.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <sys/wait.h>

namespace {

using qo_run::Site;

bool killed_by_sigpipe(int status) noexcept
{
    return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE;
}

} // namespace

// A stage killed by SIGPIPE wrote to a reader that had what it wanted and
// ended (yes | head -1): not a failure while what came after it ended well,
// or was itself such a stage.
int qo_run::pipeline_status(const int statuses[], size_t count) noexcept
{
    int status = 0;
    bool rest_well = false;
    for (size_t i = count; i-- > 0;) {
        const bool well =
            statuses[i] == 0 || (rest_well && killed_by_sigpipe(statuses[i]));
        if (!well && status == 0)
            status = statuses[i];
        rest_well = well;
    }
    return status;
}

// The names in the messages are the fronts' own: qo_pipeline(), or
// qo_pipeline_start().
size_t qo_run::count_stages(const char *const *const stages[], const Site &site,
                            bool start) noexcept
{
    qo_err::require(stages, site,
                    start ? "qo_pipeline_start: NULL stages"
                          : "qo_pipeline: NULL stages");
    size_t count = 0;
    for (; stages[count]; ++count)
        if (!stages[count][0])
            qo_err::fail(site, -1,
                         start ? "qo_pipeline_start: empty stage"
                               : "qo_pipeline: empty stage");
    if (count == 0)
        qo_err::fail(site, -1,
                     start ? "qo_pipeline_start: no stage" : "qo_pipeline: no stage");
    return count;
}

extern "C" int qo_pipeline_int(const char *const *const stages[],
                               const qo_run_options *options, int statuses[], int line,
                               const char *file) noexcept
{
    const Site site{line, file, "qo_pipeline_int"};
    const qo_run::Stages all{stages, qo_run::count_stages(stages, site, false)};
    int *own =
        statuses ? statuses
                 : static_cast<int *>(qo_run::allocate(all.count * sizeof(int), site));
    const qo_run_options defaults{};
    const qo_run::Outcome outcome =
        qo_run::run_stages(all, options ? *options : defaults, own, site);
    const int status =
        outcome.status == -1 ? -1 : qo_run::pipeline_status(own, all.count);
    if (own != statuses)
        free(own);
    errno = outcome.error;
    return status;
}
