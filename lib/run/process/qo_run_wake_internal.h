// The wake-up that a stop from another thread or a signal handler sends
// to the thread serving a held job, when the job has no descriptor of its
// own for it: one eventfd for the whole process, made at the first held
// job, counting the wake-ups owed. Internal to the library.
#pragma once

#include <atomic>

namespace qo_run_wake {

// The process's eventfd, made at the first call; -1 when it could not be.
// A forked child makes its own. Async-signal-safe once made.
int shared() noexcept;

// How a serving thread sleeps on its job: the stopper owes it a wake-up
// only while it sleeps, so that a stop between the calls costs nothing and
// the wake-ups sent are the ones taken.
class Sleeper {
  public:
    // Before the wait: false when a stop came already (then wait 0).
    bool lie_down(const std::atomic<bool> &stop_wanted) noexcept;
    // After it: takes the wake-up owed to this sleep, if one is.
    void get_up() noexcept;
    // From anywhere, once the stop is stored: wakes the sleeper.
    void wake() noexcept;

  private:
    enum : int { awake, asleep, woken };
    std::atomic<int> state_{awake};
};

} // namespace qo_run_wake
