// Starting a process of a run: by posix_spawn where the C library can do
// all of the child's setup, else by a vfork child that does it itself.
#include "run/parts/qo_run_spawn_internal.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ; // NOLINT(readability-redundant-declaration)

// posix_spawn can do all of a child's setup only where the C library has
// these; elsewhere a vfork child does it.
#if QO_HAVE_POSIX_SPAWN_FILE_ACTIONS_ADDCLOSEFROM_NP &&                                \
    QO_HAVE_POSIX_SPAWN_FILE_ACTIONS_ADDCHDIR_NP
#define QO_SPAWN_DOES_SETUP 1
#else
#define QO_SPAWN_DOES_SETUP 0
#endif
#if QO_HAVE_POSIX_SPAWN_FILE_ACTIONS_ADDTCSETPGRP_NP
[[maybe_unused]] constexpr bool spawn_takes_terminal = true;
#else
[[maybe_unused]] constexpr bool spawn_takes_terminal = false;
#endif

namespace qo_run_spawn {

Environment::Environment(const char *const *changes, bool clear,
                         const Site &site) noexcept
{
    if (!clear && (!changes || !changes[0]))
        return;
    size_t n = 0, m = 0;
    while (!clear && environ[n])
        n++;
    while (changes && changes[m])
        m++;
    entries_ = static_cast<char **>(allocate((n + m + 1) * sizeof(char *), site));
    std::copy(environ, environ + n, entries_);
    used_ = n;
    for (size_t i = 0; i < m; ++i)
        apply(changes[i]);
    entries_[used_] = nullptr;
}

char *const *Environment::entries() const noexcept
{
    return entries_ ? entries_ : environ;
}

void Environment::apply(const char *change) noexcept
{
    const size_t name = strcspn(change, "=");
    size_t kept = 0;
    for (size_t i = 0; i < used_; ++i)
        if (strncmp(entries_[i], change, name) != 0 || entries_[i][name] != '=')
            entries_[kept++] = entries_[i];
    used_ = kept;
    if (change[name] == '=')
        entries_[used_++] = const_cast<char *>(change);
}

namespace {

// The dispositions a command starts with: SIGPIPE and SIGXFSZ at their
// defaults whatever the caller chose, so that it sees the errors it was
// written for; at a terminal, the stops too, so that Ctrl-Z works. Other
// ignored signals stay ignored (nohup); handled ones are reset by exec.
void default_signals(sigset_t &set, bool takes_terminal) noexcept
{
    sigemptyset(&set);
    for (const int signal : {SIGPIPE, SIGXFSZ})
        sigaddset(&set, signal);
    if (takes_terminal)
        for (const int signal : {SIGTSTP, SIGTTIN, SIGTTOU})
            sigaddset(&set, signal);
}

bool is_kept(int fd, const qo_run_setup::Child *setup) noexcept
{
    for (size_t i = 0; setup && i < setup->kept_count; ++i)
        if (setup->kept[i] == fd)
            return true;
    return false;
}

// Closes every descriptor from 3 up but those kept (ascending), by the
// kernel's close_range between them or else by the list in /proc.
// Async-signal-safe.
void close_from_3(const qo_run_setup::Child *setup) noexcept
{
#if QO_HAVE_CLOSE_RANGE
    const size_t kept = setup ? setup->kept_count : 0;
    unsigned first = 3;
    bool closed = true;
    for (size_t i = 0; closed && i <= kept; ++i) {
        const unsigned last =
            i < kept ? static_cast<unsigned>(setup->kept[i]) - 1 : ~0U;
        if (first <= last)
            closed = close_range(first, last, 0) == 0;
        if (i < kept)
            first = static_cast<unsigned>(setup->kept[i]) + 1;
    }
    if (closed)
        return;
#endif
    const int dir = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/proc/self/fd",
                                             O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir < 0)
        return; // exec still closes what is close-on-exec
    alignas(8) char entries[4096];
    long n;
    while ((n = syscall(SYS_getdents64, dir, entries, sizeof entries)) > 0)
        for (long at = 0; at < n;) {
            // The kernel's linux_dirent64, which not every C library names:
            // the record's length at byte 16, the name from byte 19.
            unsigned short length = 0;
            memcpy(&length, entries + at + 16, sizeof length);
            int fd = 0;
            for (const char *c = entries + at + 19; *c >= '0' && *c <= '9'; ++c)
                fd = fd * 10 + (*c - '0');
            if (fd > 2 && fd != dir && !is_kept(fd, setup))
                close(fd);
            at += length;
        }
    close(dir);
}

// What posix_spawn's SETSIGDEF does, for the vfork child: a handler of the
// caller's must not run there, in the caller's memory. Async-signal-safe.
void reset_signals(bool takes_terminal) noexcept
{
    sigset_t defaults;
    default_signals(defaults, takes_terminal);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction now {};
        if (sigaction(signal, nullptr, &now) != 0 || now.sa_handler == SIG_DFL)
            continue;
        if (now.sa_handler != SIG_IGN || sigismember(&defaults, signal))
            sigaction(signal, &dfl, nullptr);
    }
}

// Its own group, or a session of its own: setsid() fails only for a group
// leader, which a new process is not.
bool lead_or_join(const Launch &l) noexcept
{
    if (l.setup && l.setup->new_session)
        return setsid() >= 0;
    setpgid(0, l.group);
    return true;
}

// The child's side of a vfork: async-signal-safe calls only, in the
// parent's memory, which is how its failure reaches the parent.
[[noreturn]] void child(const Launch &l, volatile int &error) noexcept
{
    bool placed = lead_or_join(l);
    if (placed && l.terminal >= 0)
        tcsetpgrp(l.terminal, getpgrp());
    placed = placed && (!l.dir || chdir(l.dir) == 0);
    for (int target = 0; placed && target < 3; ++target)
        placed = l.fds[target] < 0 || dup2(l.fds[target], target) >= 0;
    if (placed && l.setup) {
        const int failed = qo_run_setup::apply(*l.setup);
        errno = failed;
        placed = failed == 0;
    }
    if (placed) {
        close_from_3(l.setup);
        reset_signals(l.terminal >= 0);
        sigset_t empty;
        sigemptyset(&empty);
        sigprocmask(SIG_SETMASK, &empty, nullptr);
        execvpe(l.argv[0], const_cast<char *const *>(l.argv), l.envp);
    }
    error = errno;
    _exit(127);
}

int launch_by_vfork(const Launch &l, pid_t &pid) noexcept
{
    // No handler of the caller's may run in the child, which shares its
    // memory: everything stays blocked until the child has reset them.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    volatile int error = 0;
    pid = vfork(); // NOLINT(clang-analyzer-security.insecureAPI.vfork)
    if (pid == 0)
        child(l, error);
    const int vfork_error = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (pid < 0)
        return vfork_error;
    if (error == 0)
        return 0;
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return error;
}

#if QO_SPAWN_DOES_SETUP

int spawn_with_setup(const Launch &l, pid_t &pid) noexcept
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    int setup = 0;
    auto keep_first = [&setup](int result) { setup = setup ? setup : result; };
    sigset_t defaults, empty;
    default_signals(defaults, l.terminal >= 0);
    sigemptyset(&empty);
    keep_first(posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
    keep_first(posix_spawnattr_setpgroup(&attr, l.group));
    keep_first(posix_spawnattr_setsigmask(&attr, &empty));
    keep_first(posix_spawnattr_setsigdefault(&attr, &defaults));
    if (l.dir)
        keep_first(posix_spawn_file_actions_addchdir_np(&actions, l.dir));
#if QO_HAVE_POSIX_SPAWN_FILE_ACTIONS_ADDTCSETPGRP_NP
    if (l.terminal >= 0)
        keep_first(posix_spawn_file_actions_addtcsetpgrp_np(&actions, l.terminal));
#endif
    for (int target = 0; target < 3; ++target)
        if (l.fds[target] >= 0)
            keep_first(
                posix_spawn_file_actions_adddup2(&actions, l.fds[target], target));
    // Whatever the caller left open without close-on-exec stays out too.
    keep_first(posix_spawn_file_actions_addclosefrom_np(&actions, 3));
    if (setup)
        return setup;
    const int error = posix_spawnp(&pid, l.argv[0], &actions, &attr,
                                   const_cast<char *const *>(l.argv), l.envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return error;
}

#endif

} // namespace

int launch(const Launch &l, pid_t &pid) noexcept
{
#if QO_SPAWN_DOES_SETUP
    if ((l.terminal < 0 || spawn_takes_terminal) && !(l.setup && l.setup->any()))
        return spawn_with_setup(l, pid);
#endif
    return launch_by_vfork(l, pid);
}

} // namespace qo_run_spawn
