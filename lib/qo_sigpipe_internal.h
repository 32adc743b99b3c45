// Keeps a write to a pipe whose reader has gone from killing the process.
// Internal to the library.
#pragma once

#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>

namespace qo_sigpipe {

// SIGPIPE is blocked in this thread while the guard lives; when the guarded
// writes raised one (the owner sets raised after an EPIPE), it is taken back
// before the thread's own mask returns. One that was pending before stays.
class Blocked {
  public:
    explicit Blocked(bool needed = true) noexcept : active_(needed)
    {
        if (!active_)
            return;
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &thread_mask_);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~Blocked()
    {
        if (!active_)
            return;
        const int error = errno;
        const timespec now{};
        if (raised && !was_pending_)
            while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
            }
        pthread_sigmask(SIG_SETMASK, &thread_mask_, nullptr);
        errno = error;
    }
    Blocked(const Blocked &) = delete;
    Blocked &operator=(const Blocked &) = delete;

    // The mask the thread had before: what a command started meanwhile gets.
    const sigset_t &thread_mask() const noexcept { return thread_mask_; }

    // For a write that failed with error.
    void failed_with(int error) noexcept { raised = raised || error == EPIPE; }

    bool raised = false;

  private:
    bool active_, was_pending_ = false;
    sigset_t pipe_{}, thread_mask_{};
};

} // namespace qo_sigpipe
