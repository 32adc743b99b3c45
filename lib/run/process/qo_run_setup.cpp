// The settings a run's processes apply to themselves before their exec.
// Everything the caller may be refused (a descriptor that is not open, a
// privilege it lacks) is checked in the caller first, so that a run that
// cannot have its settings starts nothing, rather than a pipeline whose
// second stage fails after the first one started.
#include "run/process/qo_run_setup_internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace qo_run_setup {

namespace {

// The C library's setuid() and kin change every thread of the process
// through a signal to each; in a vfork child that shares the caller's
// memory this would reach the caller's threads. The system calls change
// the calling thread's ids alone, which in the child is all of it. Where
// the 16-bit calls keep the plain names, the 32-bit ones are wanted.
#ifdef SYS_setresuid32
constexpr long sys_setresuid = SYS_setresuid32;
constexpr long sys_setresgid = SYS_setresgid32;
constexpr long sys_setgroups = SYS_setgroups32;
#else
constexpr long sys_setresuid = SYS_setresuid;
constexpr long sys_setresgid = SYS_setresgid;
constexpr long sys_setgroups = SYS_setgroups;
#endif

constexpr LimitName limit_names[] = {
    {RLIMIT_AS, "RLIMIT_AS", 'v', Unit::kib},
    {RLIMIT_CORE, "RLIMIT_CORE", 'c', Unit::blocks},
    {RLIMIT_CPU, "RLIMIT_CPU", 't', Unit::count},
    {RLIMIT_DATA, "RLIMIT_DATA", 'd', Unit::kib},
    {RLIMIT_FSIZE, "RLIMIT_FSIZE", 'f', Unit::blocks},
    {RLIMIT_LOCKS, "RLIMIT_LOCKS", '\0', Unit::count},
    {RLIMIT_MEMLOCK, "RLIMIT_MEMLOCK", 'l', Unit::kib},
    {RLIMIT_MSGQUEUE, "RLIMIT_MSGQUEUE", '\0', Unit::count},
    {RLIMIT_NICE, "RLIMIT_NICE", '\0', Unit::count},
    {RLIMIT_NOFILE, "RLIMIT_NOFILE", 'n', Unit::count},
    {RLIMIT_NPROC, "RLIMIT_NPROC", '\0', Unit::count},
    {RLIMIT_RSS, "RLIMIT_RSS", 'm', Unit::kib},
    {RLIMIT_RTPRIO, "RLIMIT_RTPRIO", 'r', Unit::count},
    {RLIMIT_RTTIME, "RLIMIT_RTTIME", '\0', Unit::count},
    {RLIMIT_SIGPENDING, "RLIMIT_SIGPENDING", '\0', Unit::count},
    {RLIMIT_STACK, "RLIMIT_STACK", 's', Unit::kib},
};

const char *const stream_names[] = {"stdin", "stdout", "stderr"};
constexpr unsigned stream_flags[] = {QO_RUN_INPUT_FD, QO_RUN_OUTPUT_FD,
                                     QO_RUN_ERRORS_FD};

// Whether the process holds the capability; where capget() is refused,
// whether it is root.
bool privileged(int capability) noexcept
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return geteuid() == 0;
    return (data[capability / 32].effective >> (capability % 32)) & 1U;
}

bool is_open(int fd) noexcept
{
    return fd >= 0 && fcntl(fd, F_GETFD) >= 0;
}

// Sorted, each once; the count left.
template <typename T> size_t as_set(T *items, size_t n) noexcept
{
    std::sort(items, items + n);
    return static_cast<size_t>(std::unique(items, items + n) - items);
}

// Whether the process's supplementary groups are these already, in any
// order: then they need no setgroups(), nor the privilege it takes.
bool has_groups(const gid_t *groups, size_t count, const Site &site) noexcept
{
    const int held = getgroups(0, nullptr);
    if (held < 0)
        return false;
    const size_t n = static_cast<size_t>(held);
    auto *now =
        static_cast<gid_t *>(qo_run::allocate((n + count + 1) * sizeof(gid_t), site));
    gid_t *wanted = now + n;
    const bool read = getgroups(held, now) == held;
    std::copy(groups, groups + count, wanted);
    const size_t distinct = as_set(now, n);
    const bool same = read && distinct == as_set(wanted, count) &&
                      std::equal(now, now + distinct, wanted);
    free(now);
    return same;
}

bool among(uid_t id, uid_t a, uid_t b, uid_t c) noexcept
{
    return id == a || id == b || id == c;
}

// "unlimited" or the figure, in room.
const char *limit_text(rlim_t value, char (&room)[24]) noexcept
{
    if (value == RLIM_INFINITY)
        return "unlimited";
    snprintf(room, sizeof room, "%llu", static_cast<unsigned long long>(value));
    return room;
}

} // namespace

const LimitName *limit_name(int resource) noexcept
{
    const auto *found =
        std::find_if(std::begin(limit_names), std::end(limit_names),
                     [resource](const LimitName &n) { return n.resource == resource; });
    return found == std::end(limit_names) ? nullptr : found;
}

int apply(const Child &c) noexcept
{
    if (c.set_umask)
        umask(c.umask);
    for (const qo_rlimit *l = c.limits; l && l->resource != -1; ++l) {
        const rlimit wanted{l->soft, l->hard};
        if (setrlimit(l->resource, &wanted) != 0)
            return errno;
    }
    if (c.nice != 0) {
        errno = 0;
        const int now = getpriority(PRIO_PROCESS, 0);
        if ((now == -1 && errno != 0) ||
            setpriority(PRIO_PROCESS, 0, std::clamp(now + c.nice, -20, 19)) != 0)
            return errno;
    }
    if (c.set_groups && syscall(sys_setgroups, c.groups_count, c.groups) != 0)
        return errno;
    if (c.set_ids && (syscall(sys_setresgid, c.gid, c.gid, c.gid) != 0 ||
                      syscall(sys_setresuid, c.uid, c.uid, c.uid) != 0))
        return errno;
    for (size_t i = 0; i < c.kept_count; ++i)
        if (fcntl(c.kept[i], F_SETFD, 0) != 0)
            return errno;
    return 0;
}

Setup::~Setup()
{
    free(kept_);
}

int Setup::refuse(int error, const char *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    vsnprintf(why_, sizeof why_, format, args);
    va_end(args);
    return error;
}

int Setup::check(const qo_run_options &o, const Site &site) noexcept
{
    child_.new_session = o.flags & QO_RUN_NEW_SESSION;
    child_.set_umask = o.flags & QO_RUN_UMASK;
    child_.umask = static_cast<mode_t>(o.umask & 0777U);
    int error = check_fds(o);
    if (!error)
        error = keep(o.pass_fds, site);
    if (!error)
        error = check_user(o, site);
    if (!error)
        error = check_nice(o.nice);
    if (!error)
        error = check_limits(o.limits);
    return error;
}

int Setup::check_fds(const qo_run_options &o) noexcept
{
    const int fds[] = {o.input_fd, o.output_fd, o.errors_fd};
    for (int i = 0; i < 3; ++i)
        if ((o.flags & stream_flags[i]) && !is_open(fds[i]))
            return refuse(EBADF,
                          "Unable to give descriptor %d to the command as its %s: %s",
                          fds[i], stream_names[i], strerror(EBADF));
    return 0;
}

// The descriptors passed on, ascending, for the child to keep.
int Setup::keep(const int *pass_fds, const Site &site) noexcept
{
    size_t n = 0;
    for (; pass_fds && pass_fds[n] != -1; ++n) {
        const int fd = pass_fds[n];
        if (fd >= 0 && fd <= STDERR_FILENO)
            return refuse(EINVAL,
                          "Unable to pass descriptor %d to the command: its 0-2 are "
                          "its stdin, stdout and stderr",
                          fd);
        if (!is_open(fd))
            return refuse(EBADF, "Unable to pass descriptor %d to the command: %s", fd,
                          strerror(EBADF));
    }
    if (n == 0)
        return 0;
    kept_ = static_cast<int *>(qo_run::allocate(n * sizeof(int), site));
    std::copy(pass_fds, pass_fds + n, kept_);
    child_.kept = kept_;
    child_.kept_count = as_set(kept_, n);
    return 0;
}

// Never half-applied: what the caller may not set is refused here, before
// any process starts, rather than by the process after some of it took.
int Setup::check_user(const qo_run_options &o, const Site &site) noexcept
{
    if (!(o.flags & QO_RUN_USER))
        return 0;
    const long most = sysconf(_SC_NGROUPS_MAX);
    const bool sound = (o.groups || o.groups_count == 0) &&
                       (most < 0 || o.groups_count <= static_cast<size_t>(most));
    uid_t ruid = 0, euid = 0, suid = 0;
    gid_t rgid = 0, egid = 0, sgid = 0;
    getresuid(&ruid, &euid, &suid);
    getresgid(&rgid, &egid, &sgid);
    const bool setgid_cap = privileged(CAP_SETGID);
    child_.set_ids = true;
    child_.uid = o.uid, child_.gid = o.gid;
    child_.groups = o.groups, child_.groups_count = o.groups_count;
    child_.set_groups =
        setgid_cap || (sound && !has_groups(o.groups, o.groups_count, site));
    const bool permitted = (privileged(CAP_SETUID) || among(o.uid, ruid, euid, suid)) &&
                           (setgid_cap || among(o.gid, rgid, egid, sgid)) &&
                           (setgid_cap || !child_.set_groups);
    if (sound && permitted)
        return 0;
    const int error = sound ? EPERM : EINVAL;
    return refuse(error,
                  "Unable to run the command as uid %u, gid %u and %zu groups: %s",
                  static_cast<unsigned>(o.uid), static_cast<unsigned>(o.gid),
                  o.groups_count, strerror(error));
}

// Lowering the niceness takes CAP_SYS_NICE, or room in RLIMIT_NICE (which
// counts 20 - nice).
int Setup::check_nice(int nice) noexcept
{
    child_.nice = std::clamp(nice, -40, 40);
    if (nice >= 0 || privileged(CAP_SYS_NICE))
        return 0;
    errno = 0;
    const int now = getpriority(PRIO_PROCESS, 0);
    const int wanted = std::clamp(now + child_.nice, -20, 19);
    rlimit room{};
    getrlimit(RLIMIT_NICE, &room);
    if (wanted >= now || static_cast<rlim_t>(20 - wanted) <= room.rlim_cur)
        return 0;
    return refuse(EPERM, "Unable to add %d to the command's niceness: %s", nice,
                  strerror(EPERM));
}

// Raising a hard limit takes CAP_SYS_RESOURCE.
int Setup::check_limits(const qo_rlimit *limits) noexcept
{
    child_.limits = limits;
    for (const qo_rlimit *l = limits; l && l->resource != -1; ++l) {
        const LimitName *name = limit_name(l->resource);
        if (!name)
            return refuse(EINVAL, "Unable to set resource limit %d for the command: %s",
                          l->resource, strerror(EINVAL));
        rlimit now{};
        getrlimit(l->resource, &now);
        // The capability is asked only of a limit that would need it.
        const int error = l->soft > l->hard ? EINVAL
                          : l->hard > now.rlim_max && !privileged(CAP_SYS_RESOURCE)
                              ? EPERM
                              : 0;
        if (error) {
            char soft[24], hard[24];
            return refuse(error,
                          "Unable to set %s to %s soft, %s hard for the command: %s",
                          name->name, limit_text(l->soft, soft),
                          limit_text(l->hard, hard), strerror(error));
        }
    }
    return 0;
}

int Setup::take_fds(const qo_run_options &o, int fds[3]) noexcept
{
    const int callers[] = {o.input_fd, o.output_fd, o.errors_fd};
    for (int i = 0; i < 3; ++i) {
        if (!(o.flags & stream_flags[i]))
            continue;
        fds[i] = fcntl(callers[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (fds[i] < 0) {
            const int error = errno;
            return refuse(error,
                          "Unable to give descriptor %d to the command as its %s: %s",
                          callers[i], stream_names[i], strerror(error));
        }
    }
    return 0;
}

} // namespace qo_run_setup
