// Starting a process of a run: a vfork child that sets itself up and
// execs, or a clone3 child born in a control group.
#include "run/process/qo_run_spawn_internal.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ; // NOLINT(readability-redundant-declaration)

// ThreadSanitizer runs vfork as fork, whose parent neither waits for the
// child's exec nor sees its failure: there a start takes clone3's copy of
// the caller, which the caller waits for, as a contained run does.
#if defined(__SANITIZE_THREAD__)
#define QO_VFORK_IS_FORK 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QO_VFORK_IS_FORK 1
#endif
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

// The program as posix_spawnp finds it: argv[0] itself when it has a
// slash, else the first one along the caller's PATH that can be run. A
// file that is not a program fails with ENOEXEC, not handed to a shell as
// execvp would. Returns the errno: EACCES when a file found could not be
// run, else the last failure. Async-signal-safe: the name is built on the
// stack.
int exec_program(const char *const argv[], char *const envp[]) noexcept
{
    const char *file = argv[0];
    char *const *const args = const_cast<char *const *>(argv);
    if (strchr(file, '/')) {
        execve(file, args, envp);
        return errno;
    }
    const size_t length = strlen(file) + 1;
    if (length == 1)
        return ENOENT;
    if (length > NAME_MAX + 1)
        return ENAMETOOLONG;
    const char *path = getenv("PATH"); // NOLINT(concurrency-mt-unsafe): read only
    char name[PATH_MAX];
    bool denied = false;
    int error = ENOENT;
    for (const char *dir = path ? path : "/bin:/usr/bin";; ++dir) {
        const char *end = strchrnul(dir, ':');
        const auto size = static_cast<size_t>(end - dir);
        if (size + 1 + length <= sizeof name) {
            memcpy(name, dir, size);
            name[size] = '/';
            // An empty entry is the current folder.
            const size_t at = size == 0 ? 0 : size + 1;
            memcpy(name + at, file, length);
            execve(name, args, envp);
            error = errno;
            denied = denied || error == EACCES;
            if (error != EACCES && error != ENOENT && error != ENOTDIR &&
                error != ESTALE && error != ENODEV && error != ETIMEDOUT)
                return error; // found, but it cannot run
        }
        if (*end == '\0')
            break;
        dir = end;
    }
    return denied ? EACCES : error;
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
        return exec_program(l.argv, l.envp);
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

#if QO_HAVE_CLONE_INTO_CGROUP

// Cleared once the kernel has said it has no clone3 into a group (before
// 5.7).
std::atomic<bool> has_clone3{true};

// What clone3 into a group fails with on a kernel without it.
bool lacks_clone3(int error) noexcept
{
    return error == ENOSYS || error == E2BIG || error == EINVAL;
}

// Born in the group (into_group): nothing it does before its exec escapes
// it. The child is a copy of the caller (the C library cannot give it a
// stack of its own), which the caller waits for until it has gone on to its
// exec or failed, telling why in a page the two share.
int launch_by_clone3(const Launch &l, pid_t &pid, bool into_group = true) noexcept
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
    args.flags = CLONE_VFORK | (into_group ? CLONE_INTO_CGROUP : 0);
    args.exit_signal = SIGCHLD;
    args.cgroup = into_group ? static_cast<uint64_t>(l.cgroup) : 0;
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
        if (!lacks_clone3(error))
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
#if QO_VFORK_IS_FORK && QO_HAVE_CLONE_INTO_CGROUP
    if (const int error = launch_by_clone3(l, pid, false); !lacks_clone3(error))
        return error;
#endif
    return launch_by_vfork(l, pid);
}

} // namespace qo_run_spawn
