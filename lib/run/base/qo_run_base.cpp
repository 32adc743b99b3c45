// The leaf under every file of the command runner: memory, the clock and
// descriptors, as every part of a run needs them.
#include "run/base/qo_run_base_internal.h"

#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace qo_run {

[[noreturn]] void fail(const Site &site, const char *message) noexcept
{
    qo_err::fail(site, -1, message);
}

void *allocate(size_t size, const Site &site) noexcept
{
    void *block = malloc(size);
    if (!block)
        fail(site, "Unable to alloc memory in qo_run");
    return block;
}

int64_t now_us() noexcept
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000000 + t.tv_nsec / 1000;
}

int64_t now_ms() noexcept
{
    return now_us() / 1000;
}

int64_t deadline_of(int64_t began, int timeout_ms) noexcept
{
    return timeout_ms > 0 ? began + static_cast<int64_t>(timeout_ms) * 1000 : 0;
}

void close_fd(int &fd) noexcept
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

} // namespace qo_run
