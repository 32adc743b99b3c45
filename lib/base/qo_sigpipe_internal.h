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
        note_pending();
    }
    // They are blocked already, by the owner, along with others, in one
    // call that returned the thread's mask before it: the owner restores
    // it, once the guard has gone.
    Blocked(const sigset_t &thread_mask, bool pipe, bool file_size) noexcept
        : active_(pipe || file_size), restores_(false), thread_mask_(thread_mask)
    {
        sigemptyset(&blocked_);
        if (pipe)
            sigaddset(&blocked_, SIGPIPE);
        if (file_size)
            sigaddset(&blocked_, SIGXFSZ);
        note_pending();
    }
    ~Blocked()
    {
        if (!active_)
            return;
        const int error = errno;
        take_back(SIGPIPE, raised);
        take_back(SIGXFSZ, raised_file_size_);
        if (restores_)
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
    // Only a signal the thread blocked already can be pending for it: one
    // it let through was delivered before the block.
    void note_pending() noexcept
    {
        sigemptyset(&was_pending_);
        if (sigismember(&thread_mask_, SIGPIPE) == 1 ||
            sigismember(&thread_mask_, SIGXFSZ) == 1)
            sigpending(&was_pending_);
    }

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

    bool active_, restores_ = true, raised_file_size_ = false;
    sigset_t blocked_{}, was_pending_{}, thread_mask_{};
};

} // namespace qo_sigpipe
