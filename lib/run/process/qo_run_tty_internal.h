// The caller's controlling terminal as the jobs of its runs see it: found
// from any of descriptors 0-2 or from /dev/tty, its foreground lent to one
// job of the process at a time. Internal to the library.
#pragma once

#include <sys/types.h>
#include <termios.h>

namespace qo_run_tty {

class Terminal {
  public:
    Terminal() noexcept;
    ~Terminal();
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    bool found() const noexcept { return fd_ >= 0; }
    int fd() const noexcept { return fd_; }
    pid_t foreground() const noexcept;
    void give(pid_t group) const noexcept;
    void get_modes(termios &modes) const noexcept;
    // At once: a terminal whose reader stalled would never drain.
    void set_modes(const termios &modes) const noexcept;

  private:
    int fd_ = -1;
    bool opened_ = false; // /dev/tty, ours to close
};

// The foreground is lent to one job of the process at a time: the one
// that claimed it, before its first process started, and told its group
// once that had started. The others run without it.
bool claim() noexcept;
void claimed_for(pid_t group) noexcept;
void release() noexcept;
// The claim passes to another job's group, whose thread takes it up
// (adopt()) when it next looks.
void hand_to(pid_t group) noexcept;
void adopt() noexcept;
// The group of the job that holds the foreground, or 0.
pid_t holding_group() noexcept;
// The claim was made in this thread: a run nested in a callback of the
// job that holds the foreground may borrow it.
bool claimed_here() noexcept;

// Whether the process has the terminal: its own group is the foreground,
// or the group of its job that holds it.
bool process_in_foreground(const Terminal &t) noexcept;

} // namespace qo_run_tty
