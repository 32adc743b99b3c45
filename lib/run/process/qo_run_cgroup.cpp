// A contained run's control group. The caller's own group comes from
// /proc/self/cgroup (its "0::" line, cgroup v2) and the folder it is in
// from the cgroup2 mount in /proc/self/mountinfo, wherever the system
// mounted it (/sys/fs/cgroup, or /sys/fs/cgroup/unified beside the v1
// controllers). Everything the kernel may refuse is tried before anything
// starts, and a group that could not be set up whole is removed.
#include "run/process/qo_run_cgroup_internal.h"
#include "base/qo_fd_internal.h"
#include "base/qo_pid_word_internal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#ifndef CGROUP2_SUPER_MAGIC
#define CGROUP2_SUPER_MAGIC 0x63677270
#endif

namespace qo_run_cgroup {

namespace {

// ---- Files read and written -----------------------------------------------

// The whole of a small file of /proc or of a group, NUL-terminated; NULL
// with errno when it cannot be read.
char *read_text(int dir, const char *name, const Site &site) noexcept
{
    const int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    size_t size = 0, room = 4096;
    auto *text = static_cast<char *>(qo_run::allocate(room, site));
    ssize_t n = 0;
    while ((n = read(fd, text + size, room - size - 1)) > 0 ||
           (n < 0 && errno == EINTR)) {
        size += n > 0 ? static_cast<size_t>(n) : 0;
        if (room - size - 1 > 0)
            continue;
        auto *larger = static_cast<char *>(qo_run::allocate(room * 2, site));
        memcpy(larger, text, size);
        free(text);
        text = larger;
        room *= 2;
    }
    const int error = errno;
    close(fd);
    text[size] = '\0';
    if (n < 0) {
        free(text);
        errno = error;
        return nullptr;
    }
    return text;
}

// Async-signal-safe.
int write_text(int dir, const char *name, const char *text) noexcept
{
    const int fd = openat(dir, name, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const ssize_t n = write(fd, text, strlen(text));
    const int error = n < 0 ? errno : 0;
    close(fd);
    return error;
}

// "1234" into room, which holds any 64-bit number. Async-signal-safe.
char *decimal(unsigned long long value, char (&room)[24]) noexcept
{
    char *at = room + sizeof room - 1;
    *at = '\0';
    do
        *--at = static_cast<char>('0' + value % 10);
    while ((value /= 10) != 0);
    return at;
}

// The figure at text, or -1 when there is none. Async-signal-safe.
long long figure(const char *text) noexcept
{
    long long value = -1;
    for (; *text >= '0' && *text <= '9'; ++text)
        value = (value < 0 ? 0 : value * 10) + (*text - '0');
    return value;
}

// The value of "key value" in a flat keyed file of a group (cgroup.events,
// cpu.stat), or -1. Async-signal-safe.
long long keyed(const char *text, const char *key) noexcept
{
    const size_t length = strlen(key);
    for (const char *line = text; line && *line;) {
        if (strncmp(line, key, length) == 0 && line[length] == ' ')
            return figure(line + length + 1);
        line = strchr(line, '\n');
        line = line ? line + 1 : nullptr;
    }
    return -1;
}

// Whether word is one of the blank-separated words of text.
bool has_word(const char *text, const char *word) noexcept
{
    const size_t length = strlen(word);
    for (const char *at = text; (at = strstr(at, word)) != nullptr; at += length) {
        const bool starts = at == text || at[-1] == ' ' || at[-1] == '\n';
        const char after = at[length];
        if (starts && (after == ' ' || after == '\n' || after == '\0'))
            return true;
    }
    return false;
}

// ---- The caller's own group ----------------------------------------------

// The path of the process's cgroup v2 group, from its "0::" line: a fresh
// string, or NULL.
char *own_group(const Site &site) noexcept
{
    char *text = read_text(AT_FDCWD, "/proc/self/cgroup", site);
    char *path = nullptr;
    for (char *line = text; line && *line && !path;) {
        char *end = strchr(line, '\n');
        if (end)
            *end = '\0';
        if (strncmp(line, "0::", 3) == 0)
            (qo_asprintf)(&path, site.line, site.file, "%s", line + 3);
        line = end ? end + 1 : nullptr;
    }
    free(text);
    return path;
}

// mountinfo writes a blank, a tab, a line feed and a backslash as \040,
// \011, \012 and \134: undone in place.
void unescape(char *text) noexcept
{
    char *to = text;
    for (const char *from = text; *from; ++to) {
        if (from[0] == '\\' && from[1] >= '0' && from[1] <= '3' && from[2] >= '0' &&
            from[2] <= '7' && from[3] >= '0' && from[3] <= '7') {
            *to = static_cast<char>((from[1] - '0') * 64 + (from[2] - '0') * 8 +
                                    (from[3] - '0'));
            from += 4;
        } else {
            *to = *from++;
        }
    }
    *to = '\0';
}

// The n-th blank-separated field of a line (from 0), cut out in place.
char *field(char *line, int n) noexcept
{
    char *at = line;
    for (int i = 0; i < n && at; ++i) {
        at = strchr(at, ' ');
        at = at ? at + 1 : nullptr;
    }
    if (!at)
        return nullptr;
    if (char *end = strchr(at, ' '))
        *end = '\0';
    return at;
}

// The folder of group in a cgroup2 mount described by a mountinfo line,
// when the mount shows it: its mount point, then the group's path below
// the mount's root. A fresh string, or NULL.
char *folder_in(char *line, const char *group, const Site &site) noexcept
{
    const char *dash = strstr(line, " - ");
    if (!dash || strncmp(dash + 3, "cgroup2 ", 8) != 0)
        return nullptr;
    char *root = field(line, 3);
    char *point = root ? field(root + strlen(root) + 1, 0) : nullptr;
    if (!point)
        return nullptr;
    unescape(root);
    unescape(point);
    const size_t root_length = strcmp(root, "/") == 0 ? 0 : strlen(root);
    if (strncmp(group, root, root_length) != 0 ||
        (group[root_length] != '/' && group[root_length] != '\0'))
        return nullptr;
    const char *below = group + root_length;
    char *folder = nullptr;
    (qo_asprintf)(&folder, site.line, site.file, "%s%s", point,
                  strcmp(below, "/") == 0 ? "" : below);
    return folder;
}

// The folder of the caller's own group, or NULL with errno.
char *own_folder(const Site &site) noexcept
{
    char *group = own_group(site);
    char *text = group ? read_text(AT_FDCWD, "/proc/self/mountinfo", site) : nullptr;
    char *folder = nullptr;
    for (char *line = text; line && *line && !folder;) {
        char *end = strchr(line, '\n');
        if (end)
            *end = '\0';
        folder = folder_in(line, group, site);
        line = end ? end + 1 : nullptr;
    }
    free(text);
    free(group);
    if (!folder)
        errno = ENOENT;
    return folder;
}

// ---- The groups still there, for qo_exit() -------------------------------

// A fixed table of atomics, so that a signal handler can read it: each
// entry holds the group's number (a word of qo_pid_word: a forked child
// inherits the table, and its parent's groups are not its to end) and the
// descriptors of its folder and of the folder it is in. An entry being
// filled holds the number 0.
struct Tracked {
    std::atomic<uint64_t> word{0};
    std::atomic<int> dir{-1}, parent{-1};
};
constexpr size_t tracked_groups = 64;
Tracked tracked[tracked_groups];
std::atomic<uint32_t> last_number{0};

void track(uint32_t number, int dir, int parent) noexcept
{
    qo_err::at_exit(qo_err::ExitStage::before_message, end_all);
    for (Tracked &t : tracked) {
        uint64_t free_slot = 0;
        if (!t.word.compare_exchange_strong(free_slot, qo_pid_word::make(0)))
            continue;
        t.dir.store(dir);
        t.parent.store(parent);
        t.word.store(qo_pid_word::make(number));
        return;
    }
}

void untrack(uint32_t number) noexcept
{
    for (Tracked &t : tracked) {
        uint64_t held = qo_pid_word::make(number);
        if (!t.word.compare_exchange_strong(held, qo_pid_word::make(0)))
            continue;
        t.dir.store(-1);
        t.parent.store(-1);
        t.word.store(0);
        return;
    }
}

// "qo-4242-7": the name of this process's group number 7.
// Async-signal-safe.
const char *name_of(uint32_t number, char (&room)[64]) noexcept
{
    char pid[24], n[24];
    const char *parts[] = {"qo-", decimal(static_cast<unsigned>(getpid()), pid), "-",
                           decimal(number, n)};
    room[0] = '\0';
    for (const char *part : parts)
        strcat(room, part); // NOLINT: sized for them
    return room;
}

// ---- Emptiness and kills, async-signal-safe -------------------------------

int64_t now_ms() noexcept
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

// The value of key in cgroup.events, read through its descriptor: 1, 0,
// or -1 when it cannot be read. Reading also clears its readiness.
int event(int events, const char *key) noexcept
{
    char text[256];
    const ssize_t n = pread(events, text, sizeof text - 1, 0);
    if (n < 0)
        return -1;
    text[n] = '\0';
    return static_cast<int>(keyed(text, key));
}

// Until the key of cgroup.events reads value, up to until (ms,
// monotonic; -1: no end). True once it does.
bool wait_event(int events, const char *key, int value, int64_t until) noexcept
{
    for (;;) {
        const int now = event(events, key);
        if (now == value || now < 0)
            return now == value;
        const int64_t left = until < 0 ? -1 : until - now_ms();
        if (until >= 0 && left <= 0)
            return false;
        pollfd p{events, POLLPRI, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR)
            return false;
    }
}

// sig to each process listed in the group's cgroup.procs.
void signal_each(int dir, int sig) noexcept
{
    const int fd = openat(dir, "cgroup.procs", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char chunk[512];
    long pid = 0;
    ssize_t n = 0;
    while ((n = read(fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] >= '0' && chunk[i] <= '9') {
                pid = pid * 10 + (chunk[i] - '0');
                continue;
            }
            if (pid > 0)
                kill(static_cast<pid_t>(pid), sig);
            pid = 0;
        }
    if (pid > 0)
        kill(static_cast<pid_t>(pid), sig);
    close(fd);
}

// Without cgroup.kill: a frozen group forks no more, so the list read
// then is every process in it; SIGKILL reaches a frozen process.
void freeze_and_kill(int dir) noexcept
{
    constexpr int freeze_bound_ms = 1000;
    const int events = openat(dir, "cgroup.events", O_RDONLY | O_CLOEXEC);
    const bool froze = write_text(dir, "cgroup.freeze", "1") == 0;
    if (froze && events >= 0)
        wait_event(events, "frozen", 1, now_ms() + freeze_bound_ms);
    signal_each(dir, SIGKILL);
    if (froze)
        write_text(dir, "cgroup.freeze", "0");
    if (events >= 0)
        close(events);
}

// Empty, or a second gone, then the folder removed.
void end_one(int dir, int parent, uint32_t number) noexcept
{
    constexpr int exit_bound_ms = 1000;
    const int events = openat(dir, "cgroup.events", O_RDONLY | O_CLOEXEC);
    if (events >= 0) {
        wait_event(events, "populated", 0, now_ms() + exit_bound_ms);
        close(events);
    }
    char name[64];
    unlinkat(parent, name_of(number, name), AT_REMOVEDIR);
}

} // namespace

void kill_all(int dir) noexcept
{
#if QO_HAVE_CGROUP_KILL
    if (write_text(dir, "cgroup.kill", "1") != ENOENT)
        return;
#endif
    freeze_and_kill(dir);
}

void end_all() noexcept
{
    for (Tracked &t : tracked) {
        const uint64_t word = t.word.load();
        if (word && qo_pid_word::ours(word) && qo_pid_word::id(word) != 0)
            kill_all(t.dir.load());
    }
    for (Tracked &t : tracked) {
        const uint64_t word = t.word.load();
        if (word && qo_pid_word::ours(word) && qo_pid_word::id(word) != 0)
            end_one(t.dir.load(), t.parent.load(),
                    static_cast<uint32_t>(qo_pid_word::id(word)));
    }
}

// ---- The group -------------------------------------------------------------

int Group::refuse(int error, const char *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    char *text = nullptr;
    if (vasprintf(&text, format, args) < 0)
        qo_run::fail(site_, "Unable to alloc memory in qo_run");
    va_end(args);
    free(why_);
    why_ = text;
    return error;
}

int Group::make(const qo_run_options &o, const Site &site) noexcept
{
    site_ = site;
    if (!(o.flags & QO_RUN_CGROUP) && (o.cgroup || o.cgroup_limits))
        return refuse(EINVAL, "cgroup and cgroup_limits need QO_RUN_CGROUP");
    if (!(o.flags & QO_RUN_CGROUP))
        return 0;
    const char *parent = o.cgroup;
    const qo_cgroup_limits *limits = o.cgroup_limits;
    char *own = parent ? nullptr : own_folder(site);
    if (!parent && !own)
        return refuse(errno,
                      "Unable to create a control group: the caller's cgroup v2 group "
                      "is in no cgroup2 file system mounted here");
    const char *folder = parent ? parent : own;
    int error = check_folder(folder);
    if (!error)
        error = check_limits(folder, limits);
    if (!error)
        error = create(folder);
    free(own);
    if (!error)
        error = set_limits(limits);
    if (error) {
        remove();
        return error;
    }
    track(number_, dir_, parent_);
    return 0;
}

// The folder must be one of cgroup v2, where a new folder is a new group.
int Group::check_folder(const char *parent) noexcept
{
    struct statfs fs {};
    if (statfs(parent, &fs) != 0)
        return refuse(errno, "Unable to create a control group in %s: %s", parent,
                      strerror(errno));
    if (fs.f_type != CGROUP2_SUPER_MAGIC)
        return refuse(EINVAL,
                      "Unable to create a control group in %s: not a cgroup v2 folder",
                      parent);
    return 0;
}

int Group::create(const char *parent) noexcept
{
    constexpr int tries = 16; // names a process of the same pid left
    parent_ = qo_fd::above_stdio(open(parent, O_PATH | O_DIRECTORY | O_CLOEXEC));
    int error = parent_ < 0 ? errno : EEXIST;
    char name[64];
    for (int i = 0; i < tries && error == EEXIST; ++i) {
        number_ = last_number.fetch_add(1) + 1;
        error = mkdirat(parent_, name_of(number_, name), 0755) == 0 ? 0 : errno;
    }
    if (!error) {
        dir_ = qo_fd::above_stdio(
            openat(parent_, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        events_ = dir_ < 0 ? -1
                           : qo_fd::above_stdio(
                                 openat(dir_, "cgroup.events", O_RDONLY | O_CLOEXEC));
        error = events_ < 0 ? errno : 0;
        (qo_asprintf)(&path_, site_.line, site_.file, "%s/%s", parent, name);
        if (error)
            unlinkat(parent_, name, AT_REMOVEDIR);
    }
    if (error) {
        number_ = 0;
        return refuse(error, "Unable to create a control group in %s: %s", parent,
                      strerror(error));
    }
    return 0;
}

// A limit needs its controller enabled for the groups below the parent:
// only whoever owns the parent may enable it, which the run does not do
// behind the caller's back.
int Group::check_limits(const char *parent, const qo_cgroup_limits *limits) noexcept
{
    if (!limits)
        return 0;
    if (limits->cpu_weight > 10000)
        return refuse(EINVAL, "Unable to set cpu.weight to %u: it takes 1 to 10000",
                      limits->cpu_weight);
    const struct {
        bool wanted;
        const char *controller, *file;
    } needs[] = {{limits->memory_max > 0, "memory", "memory.max"},
                 {limits->pids_max > 0, "pids", "pids.max"},
                 {limits->cpu_weight > 0, "cpu", "cpu.weight"}};
    const int dir = open(parent, O_PATH | O_DIRECTORY | O_CLOEXEC);
    char *enabled = dir < 0 ? nullptr : read_text(dir, "cgroup.subtree_control", site_);
    const int error = errno;
    if (dir >= 0)
        close(dir);
    int refused = 0;
    for (const auto &need : needs) {
        if (!need.wanted || refused)
            continue;
        if (!enabled)
            refused = refuse(error, "Unable to set %s in a control group in %s: %s",
                             need.file, parent, strerror(error));
        else if (!has_word(enabled, need.controller))
            refused = refuse(ENOTSUP,
                             "Unable to set %s in a control group in %s: the %s "
                             "controller is not enabled there (cgroup.subtree_control)",
                             need.file, parent, need.controller);
    }
    free(enabled);
    return refused;
}

int Group::set(const char *file, unsigned long long value) noexcept
{
    char room[24];
    const int error = write_text(dir_, file, decimal(value, room));
    if (error)
        return refuse(error, "Unable to set %s to %llu in %s: %s", file, value, path_,
                      strerror(error));
    return 0;
}

int Group::set_limits(const qo_cgroup_limits *limits) noexcept
{
    int error = 0;
    if (limits && limits->memory_max > 0)
        error = set("memory.max", limits->memory_max);
    if (limits && limits->pids_max > 0 && !error)
        error = set("pids.max", limits->pids_max);
    if (limits && limits->cpu_weight > 0 && !error)
        error = set("cpu.weight", limits->cpu_weight);
    return error;
}

void Group::signal(int sig) const noexcept
{
    if (dir_ < 0)
        return;
    if (sig == SIGKILL)
        kill_all(dir_);
    else
        signal_each(dir_, sig);
}

bool Group::empty() const noexcept
{
    return events_ < 0 || event(events_, "populated") == 0;
}

void Group::count(qo_run_usage &used) noexcept
{
    char *cpu = dir_ < 0 ? nullptr : read_text(dir_, "cpu.stat", site_);
    const long long user = cpu ? keyed(cpu, "user_usec") : -1,
                    system = cpu ? keyed(cpu, "system_usec") : -1;
    if (user >= 0 && system >= 0)
        used.user_us = user, used.system_us = system;
    free(cpu);
    char *peak = dir_ < 0 ? nullptr : read_text(dir_, "memory.peak", site_);
    if (peak && figure(peak) >= 0)
        used.peak_kib = figure(peak) / 1024;
    free(peak);
}

void Group::end() const noexcept
{
    if (dir_ < 0 || empty())
        return;
    kill_all(dir_);
    wait_event(events_, "populated", 0, -1);
}

void Group::remove() noexcept
{
    if (number_ != 0 && dir_ >= 0) {
        end();
        char name[64];
        unlinkat(parent_, name_of(number_, name), AT_REMOVEDIR);
        untrack(number_);
    }
    number_ = 0;
    qo_run::close_fd(events_);
    qo_run::close_fd(dir_);
    qo_run::close_fd(parent_);
}

Group::~Group()
{
    remove();
    free(path_);
    free(why_);
}

} // namespace qo_run_cgroup
