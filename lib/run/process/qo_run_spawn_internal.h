// Starting a process of a run: its environment, its descriptors, its
// group, and a clean start. Internal to the library.
#pragma once

#include "run/base/qo_run_base_internal.h"
#include "run/process/qo_run_setup_internal.h"

#include <cstddef>
#include <cstdlib>
#include <sys/types.h>

namespace qo_run_spawn {

using qo_run::allocate;
using qo_run::Site;

// The caller's environment, or an empty one (clear), with the changes
// applied, in an array of its own: the caller's is never touched.
class Environment {
  public:
    Environment(const char *const *changes, bool clear, const Site &site) noexcept;
    ~Environment() { free(static_cast<void *>(entries_)); }
    Environment(const Environment &) = delete;
    Environment &operator=(const Environment &) = delete;

    char *const *entries() const noexcept;

  private:
    char **entries_ = nullptr;
    size_t used_ = 0;
};

// What a process of the job starts with.
struct Launch {
    const char *const *argv;
    char *const *envp;
    const char *dir;
    int fds[3];   // its 0-2; -1: the caller's
    pid_t group;  // 0: a new one that it leads
    int terminal; // whose foreground its group becomes; -1: none
    // The rest of its setup (a session instead of the group, descriptors
    // passed on...); NULL: none.
    const qo_run_setup::Child *setup;
    bool null_input; // its stdin is /dev/null, which it opens itself
    int cgroup = -1; // the folder of the group it starts in; -1: the caller's
};

// Starts the process: 0, or the errno that kept it from starting. A vfork
// child sets itself up and finds its program as posix_spawnp would.
// A command that takes the terminal must have it before its exec, or its
// first read from /dev/tty would stop it. One given a group is born in it
// (clone3), or joins it before its exec where the kernel has no clone3.
int launch(const Launch &l, pid_t &pid) noexcept;

} // namespace qo_run_spawn
