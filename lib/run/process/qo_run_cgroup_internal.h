// A contained run's control group: a cgroup v2 group of its own, made
// under the caller's group or a folder the caller names, which its
// commands start in, which is killed whole and removed once empty.
// Internal to the library.
#pragma once

#include "run/base/qo_run_base_internal.h"

#include <cstdint>
#include <sys/types.h>

namespace qo_run_cgroup {

using qo_run::Site;

class Group {
  public:
    Group() noexcept = default;
    // An empty group is removed; one still populated is killed first.
    ~Group();
    Group(const Group &) = delete;
    Group &operator=(const Group &) = delete;

    // With QO_RUN_CGROUP, makes the group in o.cgroup (NULL: the caller's
    // own group) with o.cgroup_limits, before anything starts: 0, or the
    // errno that refused it, with why() naming the folder. Nothing without.
    int make(const qo_run_options &o, const Site &site) noexcept;
    bool made() const noexcept { return dir_ >= 0; }
    // The group's folder, for CLONE_INTO_CGROUP; -1 when none was made.
    int fd() const noexcept { return dir_; }
    // Becomes ready (POLLPRI) when the group empties.
    int events_fd() const noexcept { return events_; }
    // sig to each process in the group, once; SIGKILL kills it whole.
    void signal(int sig) const noexcept;
    // Nothing left running in it (true when none was made).
    bool empty() const noexcept;
    // What the group itself counted, into used: the CPU time of every
    // process that ran in it, and its memory.peak where the memory
    // controller gives one; what it cannot tell is left as it was.
    void count(qo_run_usage &used) noexcept;
    // Killed if anything runs in it, and waited for until it is empty.
    void end() const noexcept;
    // Ended, its folder removed.
    void remove() noexcept;
    const char *why() const noexcept { return why_ ? why_ : ""; }

  private:
    int refuse(int error, const char *format, ...) noexcept
        __attribute__((format(printf, 3, 4)));
    int check_folder(const char *parent) noexcept;
    int check_limits(const char *parent, const qo_cgroup_limits *limits) noexcept;
    int create(const char *parent) noexcept;
    int set_limits(const qo_cgroup_limits *limits) noexcept;
    int set(const char *file, unsigned long long value) noexcept;

    Site site_{0, "", ""};
    int dir_ = -1, parent_ = -1, events_ = -1;
    uint32_t number_ = 0; // its name: qo-PID-NUMBER
    char *path_ = nullptr;
    char *why_ = nullptr;
};

// Each process in the group at dir killed: by cgroup.kill, or where the
// kernel has none (before 5.14), frozen, each one sent SIGKILL, thawed.
// Async-signal-safe.
void kill_all(int dir) noexcept;

// Every group of this process still there killed, waited for (a second at
// most) and removed, as qo_exit() ends it. Async-signal-safe.
void end_all() noexcept;

} // namespace qo_run_cgroup
