// Pipelines without a shell: the stages are one run of the command runner,
// one job, and the status is one a caller can trust: that of the last
// stage that failed (a failing tar before a happy zstd is not a success).
#include "qo.h"
#include "exit/qo_err_internal.h"
#include "run/qo_run_internal.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>

using qo_run::Site;

namespace {

int run_pipeline(const char *const *const stages[], const qo_run_options *options,
                 int statuses[], const Site &site) noexcept
{
    const qo_run::Stages all{stages, qo_run::count_stages(stages, site, false)};
    int *own =
        statuses ? statuses
                 : static_cast<int *>(qo_run::allocate(all.count * sizeof(int), site));
    const qo_run_options defaults{};
    const qo_run::Outcome outcome = qo_run::run_stages(
        all, options ? *options : defaults, own, site, "qo_pipeline");
    if (own != statuses)
        free(own);
    errno = outcome.error;
    return outcome.status;
}

} // namespace

extern "C" int qo_pipeline_at(const char *const *const stages[],
                              const qo_run_options *options, int statuses[], int line,
                              const char *file, const char *func) noexcept
{
    return run_pipeline(stages, options, statuses,
                        qo_run::site_of(line, file, func, "qo_pipeline_at"));
}

extern "C" int qo_pipeline_int(const char *const *const stages[],
                               const qo_run_options *options, int statuses[], int line,
                               const char *file) noexcept
{
    return run_pipeline(stages, options, statuses, {line, file, "qo_pipeline_int"});
}
