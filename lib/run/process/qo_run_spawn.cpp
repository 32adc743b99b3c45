// Starting a process of a run: by posix_spawn where the C library can do
// all of the child's setup, else by a vfork child that does it itself.
#include "run/process/qo_run_spawn_internal.h"
#include "base/qo_pid_word_internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/sched.h>
#include <spawn.h>
#include <sys/mman.h>
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

namespace {

// An entry of the environment, or a change, by its name (what comes before
// its first '='; a change without one removes the name) and its place:
// the environment's entries first, then the changes in order.
struct Named {
    const char *text;
    size_t name;
    size_t at;
};

bool before(const Named &a, const Named &b) noexcept
{
    const int order = memcmp(a.text, b.text, std::min(a.name, b.name));
    if (order != 0 || a.name != b.name)
        return order != 0 ? order < 0 : a.name < b.name;
    return a.at < b.at;
}

bool same_name(const Named &a, const Named &b) noexcept
{
    return a.name == b.name && memcmp(a.text, b.text, a.name) == 0;
}

// Sorted by name, each name's entries and changes sit together in the
// order they came: where the last is a change, it decides the name.
void decide(const Named *named, size_t count, size_t entries, bool kept[]) noexcept
{
    for (size_t first = 0; first < count;) {
        size_t last = first;
        while (last + 1 < count && same_name(named[first], named[last + 1]))
            ++last;
        if (named[last].at >= entries) {
            for (size_t k = first; k < last; ++k)
                kept[named[k].at] = false;
            kept[named[last].at] = named[last].text[named[last].name] == '=';
        }
        first = last + 1;
    }
}

} // namespace

// "NAME=value" replaces every NAME before it, "NAME" removes them: the
// last change of a name decides it, and a name no change touches keeps its
// entries (an entry without '=' is never touched). Sorting by name costs n
// log n for any number of them, where a pass over the entries for each
// change cost their product.
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
    auto *named = static_cast<Named *>(allocate((n + m) * sizeof(Named) + 1, site));
    auto *kept = static_cast<bool *>(allocate(n + m + 1, site));
    size_t count = 0;
    for (size_t i = 0; i < n + m; ++i) {
        const char *text = i < n ? environ[i] : changes[i - n];
        kept[i] = i < n;
        if (i >= n || strchr(text, '='))
            named[count++] = {text, strcspn(text, "="), i};
    }
    std::sort(named, named + count, before);
    decide(named, count, n, kept);
    for (size_t i = 0; i < n + m; ++i)
        if (kept[i])
            entries_[used_++] = const_cast<char *>(i < n ? environ[i] : changes[i - n]);
    entries_[used_] = nullptr;
    free(named);
    free(kept);
}

char *const *Environment::entries() const noexcept
{
    return entries_ ? entries_ : environ;
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

// The kept descriptors are ascending: a search, not a pass, for each one
// open.
bool is_kept(int fd, const qo_run_setup::Child *setup) noexcept
{
    return setup &&
           std::binary_search(setup->kept, setup->kept + setup->kept_count, fd);
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

// Writes the process's pid into the group's cgroup.procs. Async-signal-safe.
bool join_group(int group) noexcept
{
    const int fd = static_cast<int>(
        syscall(SYS_openat, group, "cgroup.procs", O_WRONLY | O_CLOEXEC));
    if (fd < 0)
        return false;
    char digits[16];
    size_t at = sizeof digits;
    auto pid = static_cast<unsigned>(getpid());
    do
        digits[--at] = static_cast<char>('0' + pid % 10);
    while ((pid /= 10) != 0);
    const bool joined = write(fd, digits + at, sizeof digits - at) > 0;
    const int error = errno;
    close(fd);
    errno = error;
    return joined;
}

// The child's side of a vfork or a clone3: async-signal-safe calls only.
// Returns only when its exec failed, with the errno.
int become(const Launch &l, bool join) noexcept
{
    bool placed = !join || join_group(l.cgroup);
    placed = placed && lead_or_join(l);
    if (placed && l.terminal >= 0)
        tcsetpgrp(l.terminal, getpgrp());
    placed = placed && (!l.dir || chdir(l.dir) == 0);
    if (placed && l.null_input) {
        const int null = open("/dev/null", O_RDONLY);
        placed = null >= 0 && (null == STDIN_FILENO || dup2(null, STDIN_FILENO) >= 0);
        if (null > STDERR_FILENO)
            close(null);
    }
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
    return errno;
}

// The child of a vfork, in the parent's memory, which is how its failure
// reaches the parent.
[[noreturn]] void child(const Launch &l, volatile int &error, bool join) noexcept
{
    error = become(l, join);
    _exit(127);
}

int launch_by_vfork(const Launch &l, pid_t &pid, bool join = false) noexcept
{
    // No handler of the caller's may run in the child, which shares its
    // memory: everything stays blocked until the child has reset them.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    volatile int error = 0;
    pid = vfork(); // NOLINT(clang-analyzer-security.insecureAPI.vfork)
    if (pid == 0)
        child(l, error, join);
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

// The descriptors' part of a start, without the directory: the same from
// one start to the next while the descriptors keep their numbers.
struct Placing {
    int fds[3];
    int terminal;
    bool null_input;
    bool operator==(const Placing &) const = default;
};

int add_actions(posix_spawn_file_actions_t &actions, const Launch &l) noexcept
{
    int error = 0;
    auto keep_first = [&error](int result) { error = error ? error : result; };
    if (l.dir)
        keep_first(posix_spawn_file_actions_addchdir_np(&actions, l.dir));
#if QO_HAVE_POSIX_SPAWN_FILE_ACTIONS_ADDTCSETPGRP_NP
    if (l.terminal >= 0)
        keep_first(posix_spawn_file_actions_addtcsetpgrp_np(&actions, l.terminal));
#endif
    if (l.null_input)
        keep_first(posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
                                                    O_RDONLY, 0));
    for (int target = 0; target < 3; ++target)
        if (l.fds[target] >= 0)
            keep_first(
                posix_spawn_file_actions_adddup2(&actions, l.fds[target], target));
    // Whatever the caller left open without close-on-exec stays out too.
    keep_first(posix_spawn_file_actions_addclosefrom_np(&actions, 3));
    return error;
}

// The C library checks each descriptor of the actions against the file
// limit, which it asks the kernel for each time: the actions of the last
// start are kept for the next one that places the same descriptors (their
// numbers checked then, and open now, stay below any limit that matters:
// the kernel takes an open descriptor as it is). One thread at a time uses
// them, marked by its word of qo_pid_word; the others, and a forked child
// that finds its parent's mark, make their own.
struct KeptActions {
    posix_spawn_file_actions_t actions;
    Placing placing;
    bool made;
};
KeptActions kept;
std::atomic<uint64_t> kept_user{0};

bool take_kept() noexcept
{
    uint64_t seen = kept_user.load();
    const uint64_t mine = qo_pid_word::make(1);
    if (seen == 0 && kept_user.compare_exchange_strong(seen, mine))
        return true;
    // Taken when the process forked: the parent's thread may have been
    // making them, which the child's copy never sees end.
    if (seen == 0 || qo_pid_word::ours(seen) ||
        !kept_user.compare_exchange_strong(seen, mine))
        return false;
    kept.made = false;
    return true;
}

// The kept actions for l, made again when l places others; NULL when
// another thread holds them or they could not be made.
const posix_spawn_file_actions_t *kept_for(const Launch &l) noexcept
{
    const Placing placing{{l.fds[0], l.fds[1], l.fds[2]}, l.terminal, l.null_input};
    if (l.dir || !take_kept())
        return nullptr;
    if (kept.made && kept.placing == placing)
        return &kept.actions;
    if (kept.made)
        posix_spawn_file_actions_destroy(&kept.actions);
    posix_spawn_file_actions_init(&kept.actions);
    kept.made = add_actions(kept.actions, l) == 0;
    kept.placing = placing;
    if (kept.made)
        return &kept.actions;
    posix_spawn_file_actions_destroy(&kept.actions);
    kept_user.store(0);
    return nullptr;
}

// At the end of the process the kept actions go, unless a thread uses
// them still: they stay taken then.
[[gnu::destructor]] void drop_kept() noexcept
{
    if (!take_kept())
        return;
    if (kept.made)
        posix_spawn_file_actions_destroy(&kept.actions);
    kept.made = false;
}

int spawn_with_setup(const Launch &l, pid_t &pid) noexcept
{
    posix_spawnattr_t attr;
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
    const posix_spawn_file_actions_t *actions = setup ? nullptr : kept_for(l);
    posix_spawn_file_actions_t own;
    posix_spawn_file_actions_init(&own);
    if (!setup && !actions)
        keep_first(add_actions(own, l));
    int error = setup;
    if (!setup)
        error = posix_spawnp(&pid, l.argv[0], actions ? actions : &own, &attr,
                             const_cast<char *const *>(l.argv), l.envp);
    if (actions)
        kept_user.store(0);
    posix_spawn_file_actions_destroy(&own);
    posix_spawnattr_destroy(&attr);
    return error;
}

#endif

#if QO_HAVE_CLONE_INTO_CGROUP

// Cleared once the kernel has said it has no clone3 into a group (before
// 5.7).
std::atomic<bool> has_clone3{true};

// Born in the group: nothing it does before its exec escapes it. The
// child is a copy of the caller (the C library cannot give it a stack of
// its own), which the caller waits for until it has gone on to its exec
// or failed, telling why in a page the two share. ENOSYS, E2BIG or
// EINVAL: a kernel without it.
int launch_by_clone3(const Launch &l, pid_t &pid) noexcept
{
    void *page = mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED)
        return errno;
    auto *error = static_cast<volatile int *>(page);
    *error = 0;
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    clone_args args{};
    args.flags = CLONE_INTO_CGROUP | CLONE_VFORK;
    args.exit_signal = SIGCHLD;
    args.cgroup = static_cast<uint64_t>(l.cgroup);
    const long made = syscall(SYS_clone3, &args, sizeof args);
    if (made == 0) {
        *error = become(l, false);
        _exit(127);
    }
    const int clone_error = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    const int failed = made < 0 ? clone_error : *error;
    munmap(page, sizeof(int));
    if (made < 0)
        return failed;
    pid = static_cast<pid_t>(made);
    if (failed)
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    return failed;
}

int launch_into_group(const Launch &l, pid_t &pid) noexcept
{
    if (has_clone3.load(std::memory_order_relaxed)) {
        const int error = launch_by_clone3(l, pid);
        if (error != ENOSYS && error != E2BIG && error != EINVAL)
            return error;
        has_clone3.store(false, std::memory_order_relaxed);
    }
    return launch_by_vfork(l, pid, true);
}

#else

int launch_into_group(const Launch &l, pid_t &pid) noexcept
{
    return launch_by_vfork(l, pid, true);
}

#endif

} // namespace

int launch(const Launch &l, pid_t &pid) noexcept
{
    if (l.cgroup >= 0)
        return launch_into_group(l, pid);
#if QO_SPAWN_DOES_SETUP
    if ((l.terminal < 0 || spawn_takes_terminal) && !(l.setup && l.setup->any()))
        return spawn_with_setup(l, pid);
#endif
    return launch_by_vfork(l, pid);
}

} // namespace qo_run_spawn
