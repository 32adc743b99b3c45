// What a run returns: the status every front gives, computed here alone
// (that of the last stage that failed, so that a failing tar before a happy
// zstd is not a success; never a success for a run cut short), and
// qo_status_text(), which tells it.
#include "qo.h"
#include "run/qo_run_internal.h"

#include <csignal>
#include <cstring>
#include <sys/wait.h>

namespace {

bool killed_by_sigpipe(int status) noexcept
{
    return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE;
}

// A stage killed by SIGPIPE wrote to a reader that had what it wanted and
// ended (yes | head -1): not a failure while what came after it ended well,
// or was itself such a stage.
int pipeline_status(const int statuses[], size_t count) noexcept
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

} // namespace

// A run cut short by its deadline or a stop is no success, whatever its
// commands did with the stop signal (a server that exits 0 on SIGTERM): a
// status that would read as one reads as a kill by that signal, which
// callers already test for after a deadline. The stages' own statuses stay
// as they were.
int qo_run::returned_status(const int statuses[], size_t count, bool cut_short,
                            int stop_signal) noexcept
{
    const int status = pipeline_status(statuses, count);
    if (status != 0 || !cut_short)
        return status;
    return (stop_signal > 0 ? stop_signal : SIGTERM) & 0x7f;
}

extern "C" char *qo_status_text(int status) noexcept
{
    char *text = nullptr;
    if (status == -1) {
        qo_asprintf(&text, "could not be run");
    } else if (WIFEXITED(status)) {
        qo_asprintf(&text, "exited with status %d", WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
#if QO_HAVE_SIGDESCR_NP
        const char *name = sigdescr_np(WTERMSIG(status));
#else
        // The C library's own names; strsignal() is what it has for them.
        const char *name = strsignal(WTERMSIG(status)); // NOLINT(concurrency-mt-unsafe)
#endif
        qo_asprintf(&text, "killed by signal %d (%s)", WTERMSIG(status),
                    name ? name : "unknown");
    } else {
        qo_asprintf(&text, "unknown status %d", status);
    }
    return text;
}
