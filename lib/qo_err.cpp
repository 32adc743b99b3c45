// The one way the library ends a process on an unrecoverable failure.
#include "qo.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

extern "C" {
qo_exit_hook_fn qo_exit_hook = nullptr;
}

extern "C" void qo_exit(int status, const char *message) noexcept
{
    // A hook that fails in turn comes back here; it must not run again,
    // or a broken clean-up would loop forever instead of ending.
    static std::atomic<bool> hook_ran{false};
    if (qo_exit_hook && !hook_ran.exchange(true))
        qo_exit_hook(status, message);
    if (message)
        fprintf(stderr, "%s\n", message);
    qo_log_close();
    exit(status);
}
