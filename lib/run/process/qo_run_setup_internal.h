// What a run sets up in each of its processes besides their 0-2 and their
// group: the caller's descriptors as their streams, descriptors passed on,
// a session, umask, limits, niceness and user. Checked before anything
// starts, applied by the process itself before its exec. Internal to the
// library.
#pragma once

#include "run/base/qo_run_base_internal.h"

#include <cstddef>
#include <sys/types.h>

namespace qo_run_setup {

using qo_run::Site;

// What a process applies to itself between its fork and its exec: plain
// data, read by a vfork child in the caller's memory.
struct Child {
    bool new_session = false; // setsid() instead of a group
    bool set_umask = false;
    mode_t umask = 0;
    const qo_rlimit *limits = nullptr; // ended by resource -1; or none
    int nice = 0;                      // added to the niceness
    bool set_ids = false;              // uid and gid
    bool set_groups = false;
    uid_t uid = 0;
    gid_t gid = 0;
    const gid_t *groups = nullptr;
    size_t groups_count = 0;
    const int *kept = nullptr; // the descriptors passed on, ascending
    size_t kept_count = 0;
};

// Applies umask, limits, niceness and user, in that order (the user last,
// as the others may need the privilege it drops), and clears close-on-exec
// on the descriptors kept. 0, or the errno of the first that failed: the
// process must not go on to its exec then. Async-signal-safe, and it
// changes the ids of the calling thread alone, as a vfork child needs.
int apply(const Child &c) noexcept;

// How ulimit and prlimit name a resource: the letter both bash and dash
// take ('\0': none), and the unit it counts in.
enum class Unit {
    count,  // as setrlimit() takes it
    kib,    // 1024 bytes
    blocks, // 1024 bytes for bash, 512 for dash: only 0 and unlimited agree
};
struct LimitName {
    int resource;
    const char *name; // "RLIMIT_CORE"
    char letter;
    Unit unit;
};
// NULL for a resource the kernel does not know.
const LimitName *limit_name(int resource) noexcept;

// The settings of a run, checked as a whole before anything starts.
class Setup {
  public:
    Setup() noexcept = default;
    ~Setup();
    Setup(const Setup &) = delete;
    Setup &operator=(const Setup &) = delete;

    // 0, or the errno that refuses the options (EBADF: a descriptor that
    // is not open; EPERM: a setting the caller has no privilege for;
    // EINVAL), with why() saying it.
    int check(const qo_run_options &o, const Site &site) noexcept;
    // The caller's descriptors that the flags ask for, as copies above 0-2
    // and close-on-exec into fds[0-2]; the others left as they are. 0 or
    // the errno, with why().
    int take_fds(const qo_run_options &o, int fds[3]) noexcept;
    const Child &child() const noexcept { return child_; }
    const char *why() const noexcept { return why_; }

  private:
    int check_fds(const qo_run_options &o) noexcept;
    int keep(const int *pass_fds, const Site &site) noexcept;
    int check_user(const qo_run_options &o, const Site &site) noexcept;
    int check_nice(int nice) noexcept;
    int check_limits(const qo_rlimit *limits) noexcept;
    [[gnu::format(printf, 3, 4)]] int refuse(int error, const char *format,
                                             ...) noexcept;

    Child child_;
    int *kept_ = nullptr;
    char why_[200] = {};
};

} // namespace qo_run_setup
