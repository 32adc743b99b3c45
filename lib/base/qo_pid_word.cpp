// The process's own id, which every word of qo_pid_word carries: asked of
// the kernel once per process, since a held job or a log entry would
// otherwise ask again and again.
#include "base/qo_pid_word_internal.h"

#include <atomic>
#include <pthread.h>

namespace {

std::atomic<uint32_t> known{0}; // 0: not asked yet

void forget_in_child() noexcept
{
    known.store(0, std::memory_order_relaxed);
}

// Before every other constructor of the library, so that the child's
// handler runs first: no other handler of the library sees the parent's id.
[[gnu::constructor(101)]] void watch_forks() noexcept
{
    pthread_atfork(nullptr, nullptr, forget_in_child);
}

} // namespace

uint32_t qo_pid_word::self() noexcept
{
    uint32_t pid = known.load(std::memory_order_relaxed);
    if (pid == 0) [[unlikely]] {
        pid = static_cast<uint32_t>(getpid());
        known.store(pid, std::memory_order_relaxed);
    }
    return pid;
}
