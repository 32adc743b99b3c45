// One eventfd that every held job of the process may be woken through:
// a job's stop from elsewhere needs no descriptor of the job's own until
// its caller watches the job's set (qo_job_fd). In semaphore mode, each
// wake-up written is one that the woken sleeper reads back, and no other:
// the sleepers of the process's other jobs, woken with it, see their own
// stop unasked and sleep again.
#include "run/process/qo_run_wake_internal.h"
#include "base/qo_pid_word_internal.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace qo_run_wake {

namespace {

// The descriptor with the process that made it: a forked child's copy is
// its parent's, shared with it, and the child makes its own.
std::atomic<uint64_t> made{0};

int make() noexcept
{
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    if (fd < 0)
        return -1;
    uint64_t seen = made.load();
    while (!(seen && qo_pid_word::ours(seen))) {
        if (made.compare_exchange_weak(seen,
                                       qo_pid_word::make(static_cast<uint32_t>(fd))))
            return fd;
    }
    close(fd); // another thread made it first
    return qo_pid_word::id(seen);
}

} // namespace

int shared() noexcept
{
    const uint64_t word = made.load();
    return word && qo_pid_word::ours(word) ? qo_pid_word::id(word) : make();
}

bool Sleeper::lie_down(const std::atomic<bool> &stop_wanted) noexcept
{
    state_.store(asleep);
    return !stop_wanted.load();
}

// The stopper marked the sleep before it wrote: its wake-up is there, or
// about to be.
void Sleeper::get_up() noexcept
{
    if (state_.exchange(awake) != woken)
        return;
    const int fd = shared();
    uint64_t one = 0;
    while (fd >= 0 && read(fd, &one, sizeof one) < 0 &&
           (errno == EAGAIN || errno == EINTR)) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, -1);
    }
}

void Sleeper::wake() noexcept
{
    int expected = asleep;
    if (!state_.compare_exchange_strong(expected, woken))
        return;
    const uint64_t one = 1;
    const int fd = shared();
    (void)!write(fd, &one, sizeof one);
}

} // namespace qo_run_wake
