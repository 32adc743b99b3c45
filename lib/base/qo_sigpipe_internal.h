// Keeps a write to a pipe whose reader has gone, or to a file at the size
// limit (RLIMIT_FSIZE), from killing the process: the write fails with
// EPIPE or EFBIG instead. Internal to the library.
#pragma once

#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>

namespace qo_sigpipe {

// SIGPIPE (and SIGXFSZ, when asked) is blocked in this thread while the
// guard lives; when the guarded writes raised one (the owner reports each
// failed write), it is taken back before the thread's own mask returns.
// One that was pending before stays.
class Blocked {
  public:
    explicit Blocked(bool pipe = true, bool file_size = false) noexcept
        : active_(pipe || file_size)
    {
        if (!active_)
            return;
        sigemptyset(&blocked_);
        if (pipe)
            sigaddset(&blocked_, SIGPIPE);
        if (file_size)
            sigaddset(&blocked_, SIGXFSZ);
        pthread_sigmask(SIG_BLOCK, &blocked_, &thread_mask_);
        sigpending(&was_pending_);
    }
    ~Blocked()
    {
        if (!active_)
            return;
        const int error = errno;
        take_back(SIGPIPE, raised);
        take_back(SIGXFSZ, raised_file_size_);
        pthread_sigmask(SIG_SETMASK, &thread_mask_, nullptr);
        errno = error;
    }
    Blocked(const Blocked &) = delete;
    Blocked &operator=(const Blocked &) = delete;

    // The mask the thread had before: what a command started meanwhile gets.
    const sigset_t &thread_mask() const noexcept { return thread_mask_; }

    // For a write that failed with error.
    void failed_with(int error) noexcept
    {
        raised = raised || error == EPIPE;
        raised_file_size_ = raised_file_size_ || error == EFBIG;
    }

    bool raised = false; // SIGPIPE

  private:
    void take_back(int signal, bool was_raised) noexcept
    {
        if (!was_raised || sigismember(&blocked_, signal) != 1 ||
            sigismember(&was_pending_, signal) == 1)
            return;
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, signal);
        const timespec now{};
        while (sigtimedwait(&one, nullptr, &now) < 0 && errno == EINTR) {
        }
    }

    bool active_, raised_file_size_ = false;
    sigset_t blocked_{}, was_pending_{}, thread_mask_{};
};

} // namespace qo_sigpipe
