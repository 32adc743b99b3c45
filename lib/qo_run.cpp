// Runs commands without a shell. Each run is a job: one process group, so
// that a deadline, Ctrl-C and Ctrl-Z reach everything the command started,
// which takes the terminal over while it runs when the caller had it. Its
// pipes and its exit (through a pidfd) are watched by one poll loop, so
// that no amount of input or output can deadlock and nothing, not even a
// reader of the caller's stdout that never reads, holds the run past its
// deadline.
#include "qo.h"
#include "qo_err_internal.h"
#include "qo_log_internal.h"
#include "qo_run_internal.h"
#include "qo_sigpipe_internal.h"
#include "qo_str_internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
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

namespace {

constexpr int kill_grace_ms = 1000;
constexpr size_t read_chunk = size_t{64} << 10;    // a new pipe's size
constexpr size_t big_read_chunk = size_t{1} << 20; // the most a user may ask
// Without a pidfd (kernels before 5.3) the exit is looked for this often.
constexpr int exit_check_ms = 10;
// A pidfd tells of an exit, not of a stop: at a terminal, where Ctrl-Z
// stops the job, the job is looked at this often.
constexpr int stop_check_ms = 100;
// Passed-through bytes waiting for the caller's descriptor: past this, the
// command's pipe waits too.
constexpr size_t pass_backlog = size_t{1} << 20;

using qo_fail::Site;

[[noreturn]] void fail(const Site &site, const char *message) noexcept
{
    qo_fail::fail(site, -1, message);
}

void *allocate(size_t size, const Site &site) noexcept
{
    void *block = malloc(size);
    if (!block)
        fail(site, "Unable to alloc memory in qo_run");
    return block;
}

int64_t now_us() noexcept
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000000 + t.tv_nsec / 1000;
}

int64_t now_ms() noexcept
{
    return now_us() / 1000;
}

void close_fd(int &fd) noexcept
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// ---- Groups still running, for qo_exit() ---------------------------------

// A fixed table, so that a signal handler can read it: runs beyond this
// many at once are not ended by qo_exit(). Each entry holds the group and
// the process that started it: a forked child inherits the table, and its
// parent's commands are not its to end.
constexpr size_t tracked_groups = 64;
std::atomic<uint64_t> running_groups[tracked_groups];

uint64_t tracked(pid_t group) noexcept
{
    return uint64_t{uint32_t(getpid())} << 32 | uint32_t(group);
}

void track(pid_t group) noexcept
{
    for (auto &slot : running_groups) {
        uint64_t free_slot = 0;
        if (slot.compare_exchange_strong(free_slot, tracked(group)))
            return;
    }
}

void untrack(pid_t group) noexcept
{
    for (auto &slot : running_groups) {
        uint64_t held = tracked(group);
        if (slot.compare_exchange_strong(held, 0))
            return;
    }
}

// ---- The command as a shell line, for the log --------------------------

void append_word(char **line, const char *word, bool first, const Site &site) noexcept
{
    char *shown = qo_str_internal::shell_word(word, first);
    const bool after_word = *line && (*line)[strlen(*line) - 1] != '(';
    qo_strcat_int(line, site.line, site.file, "%s%s", after_word ? " " : "", shown);
    free(shown);
}

// "cd DIR" would read an option from "-P" and search CDPATH for "DIR":
// "./" prevents both.
void append_cd(char **line, const char *dir, const Site &site) noexcept
{
    append_word(line, "cd", true, site);
    char *path = nullptr;
    qo_asprintf(&path, "%s%s", dir[0] == '/' || dir[0] == '.' ? "" : "./", dir);
    append_word(line, path, false, site);
    free(path);
    qo_strcat_int(line, site.line, site.file, " &&");
}

void append_env(char **line, const char *const *env, const Site &site) noexcept
{
    append_word(line, "env", true, site);
    for (const char *const *change = env; *change; ++change)
        if (!strchr(*change, '=')) {
            append_word(line, "-u", false, site);
            append_word(line, *change, false, site);
        }
    for (const char *const *change = env; *change; ++change)
        if (strchr(*change, '='))
            append_word(line, *change, false, site);
}

void append_redirect(char **line, const char *op, const char *file,
                     const Site &site) noexcept
{
    char *shown = qo_str_internal::shell_word(file, false);
    qo_strcat_int(line, site.line, site.file, " %s%s", op, shown);
    free(shown);
}

// The files are opened in the caller's folder: with a dir, the redirections
// go around a subshell that changes folder only inside.
char *command_line(const char *const argv[], const qo_run_options &o,
                   const Site &site) noexcept
{
    char *line = nullptr;
    const bool files = o.input_file || o.output_file;
    if (o.dir && files)
        qo_strcat_int(&line, site.line, site.file, "(");
    if (o.dir)
        append_cd(&line, o.dir, site);
    if (o.env && o.env[0])
        append_env(&line, o.env, site);
    for (size_t i = 0; argv[i]; ++i)
        append_word(&line, argv[i], i == 0 && !(o.env && o.env[0]), site);
    if (o.dir && files)
        qo_strcat_int(&line, site.line, site.file, ")");
    if (o.input_file)
        append_redirect(&line, "<", o.input_file, site);
    if (o.output_file)
        append_redirect(&line, o.flags & QO_RUN_APPEND ? ">>" : ">", o.output_file,
                        site);
    return line;
}

// ---- The command's environment -----------------------------------------

// The caller's environment with the changes applied, in an array of its
// own: the caller's is never touched.
class Environment {
  public:
    Environment(const char *const *changes, const Site &site) noexcept
    {
        if (!changes || !changes[0])
            return;
        size_t n = 0, m = 0;
        while (environ[n])
            n++;
        while (changes[m])
            m++;
        entries_ = static_cast<char **>(allocate((n + m + 1) * sizeof(char *), site));
        std::copy(environ, environ + n, entries_);
        used_ = n;
        for (size_t i = 0; i < m; ++i)
            apply(changes[i]);
        entries_[used_] = nullptr;
    }
    ~Environment() { free(static_cast<void *>(entries_)); }
    Environment(const Environment &) = delete;
    Environment &operator=(const Environment &) = delete;

    char *const *entries() const noexcept { return entries_ ? entries_ : environ; }

  private:
    // "NAME=value" replaces NAME, "NAME" removes it.
    void apply(const char *change) noexcept
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

    char **entries_ = nullptr;
    size_t used_ = 0;
};

// ---- Pipes -------------------------------------------------------------

// Bytes read from a pipe: the captured output, the start of a line still
// waiting for its end, or bytes waiting to be passed on.
class Buffer {
  public:
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() { free(data_); }

    // Room for more bytes after the text, and for its terminator.
    char *reserve(size_t more, const Site &site) noexcept
    {
        if (room_ - size_ < more + 1) {
            const size_t room = std::max({2 * room_, size_ + more + 1, size_t{4096}});
            auto *grown = static_cast<char *>(realloc(data_, room));
            if (!grown)
                fail(site, "Unable to alloc memory in qo_run");
            data_ = grown;
            room_ = room;
        }
        return data_ + size_;
    }
    void append(const char *bytes, size_t n, const Site &site) noexcept
    {
        memcpy(reserve(n, site), bytes, n);
        size_ += n;
    }
    const char *data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    size_t spare() const noexcept { return room_ - size_ - 1; }
    void grow(size_t n) noexcept { size_ += n; }
    void drop_front(size_t n) noexcept
    {
        memmove(data_, data_ + n, size_ - n);
        size_ -= n;
    }
    // The text as a string the caller owns, without the slack reads left
    // (at most an eighth more); the buffer is left empty.
    char *release(const Site &site) noexcept
    {
        reserve(0, site)[0] = '\0';
        const size_t used = size_ + 1;
        if (room_ - used > used / 8)
            trim(used);
        char *text = data_;
        data_ = nullptr;
        size_ = room_ = 0;
        return text;
    }

  private:
    // A block the C library mapped on its own shrinks by whole pages only:
    // a small text moves to a block of its size.
    void trim(size_t used) noexcept
    {
        char *trimmed = nullptr;
        if (used < big_read_chunk / 16) {
            if ((trimmed = static_cast<char *>(malloc(used)))) {
                memcpy(trimmed, data_, used);
                free(data_);
            }
        } else {
            trimmed = static_cast<char *>(realloc(data_, used));
        }
        if (trimmed)
            data_ = trimmed;
    }

    char *data_ = nullptr;
    size_t size_ = 0, room_ = 0;
};

// One of the command's output streams, when it comes through a pipe.
struct Stream {
    Stream(const char *name, int passes_to) noexcept : name(name), passes_to(passes_to)
    {
    }

    // Bytes read but not yet written to the caller's descriptor.
    size_t backlog() const noexcept { return pending.size() - passed; }

    const char *name;      // as the log calls it
    int passes_to;         // the caller's descriptor that uncaptured bytes go to
    int fd = -1;           // our end; -1 when closed or when there is no pipe
    char **slot = nullptr; // receives the text; NULL: passed on and logged
    int log_level = 0;     // for uncaptured lines
    size_t chunk = read_chunk;
    Buffer text;
    Buffer pending;    // for passes_to, written as poll finds it ready
    size_t passed = 0; // of pending
};

// The caller's descriptor gets the bytes as it would have from the command
// itself; one that is closed or has lost its reader loses them. Called when
// poll finds it writable: a write of PIPE_BUF bytes at most then does not
// block, even on a descriptor in blocking mode, which is the caller's to
// choose. True when the write raised SIGPIPE.
bool pass_some(Stream &s) noexcept
{
    const size_t n = std::min(s.backlog(), size_t{PIPE_BUF});
    const ssize_t written = write(s.passes_to, s.pending.data() + s.passed, n);
    if (written < 0 && (errno == EINTR || errno == EAGAIN))
        return false;
    const bool broken = written < 0 && errno == EPIPE;
    s.passed = written < 0 ? s.pending.size() : s.passed + static_cast<size_t>(written);
    if (s.passed == s.pending.size()) {
        s.pending.drop_front(s.passed);
        s.passed = 0;
    }
    return broken;
}

void log_line(const Stream &s, const char *text, size_t n, const Site &site) noexcept
{
    qo_log_int(s.log_level, site.line, site.file, site.routine, "%s: %.*s", s.name,
               static_cast<int>(std::min<size_t>(n, INT_MAX)), text);
}

// Logs the complete lines and keeps the unfinished one.
void log_lines(Stream &s, const Site &site) noexcept
{
    const char *start = s.text.data(), *end = start + s.text.size();
    for (const char *nl;
         (nl = static_cast<const char *>(memchr(start, '\n', end - start)));
         start = nl + 1)
        log_line(s, start, nl - start, site);
    s.text.drop_front(start - s.text.data());
}

// One read; false once the pipe is at its end.
bool read_some(Stream &s, const Site &site) noexcept
{
    char *at = s.text.reserve(s.chunk, site);
    const ssize_t n = read(s.fd, at, s.text.spare());
    if (n < 0)
        return errno == EINTR || errno == EAGAIN;
    if (n == 0)
        return false;
    s.text.grow(static_cast<size_t>(n));
    // A full pipe means a producer that outruns us: a larger one costs both
    // sides fewer wake-ups, which a busy machine makes expensive. Small
    // outputs keep the small pipe.
    if (static_cast<size_t>(n) >= s.chunk && s.chunk < big_read_chunk &&
        fcntl(s.fd, F_SETPIPE_SZ, static_cast<int>(big_read_chunk)) >= 0)
        s.chunk = big_read_chunk;
    if (!s.slot) {
        s.pending.append(at, static_cast<size_t>(n), site);
        log_lines(s, site);
    }
    return true;
}

void finish(Stream &s, const Site &site) noexcept
{
    close_fd(s.fd);
    if (!s.slot && s.text.size() > 0) {
        log_line(s, s.text.data(), s.text.size(), site);
        s.text.drop_front(s.text.size());
    }
}

struct Input {
    int fd = -1;
    const char *rest = nullptr;
    size_t left = 0;
};

// Writes what the pipe takes, and closes it once everything is written or
// the command stops reading. True when the write raised SIGPIPE.
bool write_some(Input &in) noexcept
{
    const ssize_t n = write(in.fd, in.rest, in.left);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return false;
    const bool broken = n < 0 && errno == EPIPE;
    if (n > 0) {
        in.rest += n;
        in.left -= static_cast<size_t>(n);
    }
    if (n < 0 || in.left == 0)
        close_fd(in.fd);
    return broken;
}

// A descriptor for the command that a caller with 0-2 closed may have got
// in 0-2: moved above them, so that placing the command's 0-2 cannot
// overwrite one not yet placed.
int above_stdio(int fd) noexcept
{
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    return moved;
}

// 0, or the errno of the failure. Our end does not block; theirs does.
int open_pipe(int &ours, int &theirs, bool command_reads) noexcept
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    ours = fds[command_reads ? 1 : 0];
    theirs = above_stdio(fds[command_reads ? 0 : 1]);
    fcntl(ours, F_SETFL, O_NONBLOCK);
    return theirs < 0 ? errno : 0;
}

int open_file(int &fd, const char *path, int flags) noexcept
{
    fd = above_stdio(open(path, flags | O_CLOEXEC, 0666));
    return fd < 0 ? errno : 0;
}

// ---- Signals and the terminal ------------------------------------------

// For the run, the calling thread blocks SIGCHLD, so that a handler that
// reaps every child cannot take the command's status (system() does the
// same), and, at a terminal, SIGTTOU, so that it may hand the terminal over
// and take it back, and pass output on while the job has it.
class RunSignals {
  public:
    explicit RunSignals(bool at_terminal) noexcept
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGCHLD);
        if (at_terminal)
            sigaddset(&set, SIGTTOU);
        pthread_sigmask(SIG_BLOCK, &set, &before_);
    }
    ~RunSignals() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    RunSignals(const RunSignals &) = delete;
    RunSignals &operator=(const RunSignals &) = delete;

  private:
    sigset_t before_{};
};

// The terminal on the caller's stdin, as job control sees it.
bool at_terminal() noexcept
{
    return tcgetpgrp(STDIN_FILENO) >= 0;
}

bool in_foreground() noexcept
{
    return tcgetpgrp(STDIN_FILENO) == getpgrp();
}

bool is_job_stop(int signal) noexcept
{
    return signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU;
}

// Without a wait: the process stays a zombie, its group id stays taken,
// until it is reaped.
bool has_exited(pid_t pid) noexcept
{
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0)
        return errno != EINTR; // ECHILD: reaped by the kernel (SIGCHLD ignored)
    return info.si_pid == pid;
}

// ---- The job: one process group ----------------------------------------

// The processes of a run, in one group led by the first: the group's
// deadline, the terminal while the group has it, its stops and the
// reaping. A run has one process; a pipeline would add more.
class Job {
  public:
    Job(size_t capacity, int timeout_ms, const Site &site) noexcept
        : members_(static_cast<Member *>(allocate(capacity * sizeof(Member), site))),
          timeout_ms_(timeout_ms), at_terminal_(at_terminal()),
          takes_terminal_(at_terminal_ && in_foreground()), signals_(at_terminal_)
    {
    }
    ~Job();
    Job(const Job &) = delete;
    Job &operator=(const Job &) = delete;

    // Whether the group becomes the terminal's foreground: decided before
    // the first process starts, which takes the terminal itself.
    bool takes_terminal() const noexcept { return takes_terminal_; }
    pid_t group() const noexcept { return group_; }
    void add(pid_t pid) noexcept;
    // A process that took the terminal and failed to start left it to a
    // group that is gone.
    void not_started() noexcept
    {
        if (takes_terminal_ && count_ == 0)
            give_terminal(getpgrp());
    }
    // The ms until the job needs looking at again, or -1; signals the group
    // as the deadline calls for.
    int wait_ms() noexcept;
    void watch(pollfd *fds, nfds_t &n) const noexcept;
    // Takes note of the exits and stops that fds (as poll left them) or
    // the passing of time tell of.
    void check(const pollfd *fds, nfds_t n) noexcept;
    bool exited() const noexcept;
    bool timed_out() const noexcept { return stage_ != Stage::running; }
    bool killed() const noexcept { return stage_ == Stage::killed; }
    // Each member's wait status, or -1 with error.
    void reap(int *statuses, int &error) noexcept;

  private:
    enum class Stage { running, terminated, killed };
    struct Member {
        pid_t pid;
        int pidfd;
        bool exited; // seen, not yet reaped: the group id stays the job's
    };

    void look_for_stop(const Member &m) noexcept;
    void stopped(int signal) noexcept;
    void give_terminal(pid_t group) noexcept;
    int enforce_deadline() noexcept;

    Member *members_;
    size_t count_ = 0;
    pid_t group_ = 0;
    int timeout_ms_;
    // In us, monotonic: counted in whole ms, it could come up to 1 ms early.
    int64_t deadline_ = 0;
    Stage stage_ = Stage::running;
    bool at_terminal_, takes_terminal_;
    bool holds_terminal_ = false;
    RunSignals signals_;
};

Job::~Job()
{
    for (size_t i = 0; i < count_; ++i)
        close_fd(members_[i].pidfd);
    free(members_);
}

void Job::give_terminal(pid_t group) noexcept
{
    tcsetpgrp(STDIN_FILENO, group);
    holds_terminal_ = group == group_;
}

void Job::add(pid_t pid) noexcept
{
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    members_[count_++] = {pid, pidfd, false};
    if (count_ > 1)
        return;
    group_ = pid;
    track(group_);
    // The child took the terminal before its exec; this closes the window
    // where the C library could not do that.
    if (takes_terminal_)
        give_terminal(group_);
    deadline_ = now_us() + int64_t{timeout_ms_} * 1000;
}

// A stopped group also gets SIGCONT, or SIGTERM would wait for it.
int Job::enforce_deadline() noexcept
{
    if (timeout_ms_ <= 0)
        return -1;
    constexpr int64_t grace = int64_t{kill_grace_ms} * 1000;
    const int64_t now = now_us();
    if (stage_ == Stage::running && now >= deadline_) {
        kill(-group_, SIGTERM);
        kill(-group_, SIGCONT);
        stage_ = Stage::terminated;
    }
    if (stage_ == Stage::terminated && now >= deadline_ + grace) {
        kill(-group_, SIGKILL);
        stage_ = Stage::killed;
    }
    if (stage_ == Stage::killed)
        return -1;
    const int64_t next = stage_ == Stage::running ? deadline_ : deadline_ + grace;
    return static_cast<int>(std::min<int64_t>((next - now + 999) / 1000, INT_MAX));
}

int Job::wait_ms() noexcept
{
    int ms = enforce_deadline();
    bool pidfds = true;
    for (size_t i = 0; i < count_; ++i)
        pidfds = pidfds && (members_[i].exited || members_[i].pidfd >= 0);
    const int every = !pidfds ? exit_check_ms : at_terminal_ ? stop_check_ms : -1;
    if (!exited() && every >= 0 && (ms < 0 || ms > every))
        ms = every;
    return ms;
}

void Job::watch(pollfd *fds, nfds_t &n) const noexcept
{
    for (size_t i = 0; i < count_; ++i)
        if (!members_[i].exited && members_[i].pidfd >= 0)
            fds[n++] = {members_[i].pidfd, POLLIN, 0};
}

void Job::look_for_stop(const Member &m) noexcept
{
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(m.pid), &info, WSTOPPED | WNOHANG) == 0 &&
        info.si_pid == m.pid && info.si_code == CLD_STOPPED)
        stopped(info.si_status);
}

void Job::check(const pollfd *fds, nfds_t n) noexcept
{
    for (size_t i = 0; i < count_; ++i) {
        Member &m = members_[i];
        if (m.exited)
            continue;
        bool polled = false, ready = false;
        for (nfds_t j = 0; j < n; ++j)
            if (fds[j].fd == m.pidfd && m.pidfd >= 0) {
                polled = true;
                ready = fds[j].revents != 0;
            }
        if (!polled || ready)
            m.exited = has_exited(m.pid);
        if (!m.exited && at_terminal_)
            look_for_stop(m);
    }
}

// The job stopped for the terminal (Ctrl-Z, or a read or write it may not
// do from the background): the caller's group stops as well, so that the
// shell sees a stopped job; when it is continued in the foreground (fg),
// the job gets the terminal back and goes on. A stop by SIGSTOP is someone
// else's to undo.
void Job::stopped(int signal) noexcept
{
    if (!is_job_stop(signal))
        return;
    const bool had_terminal = holds_terminal_;
    if (had_terminal)
        give_terminal(getpgrp());
    if (had_terminal || !in_foreground())
        kill(-getpgrp(), SIGTSTP);
    if (in_foreground())
        give_terminal(group_);
    // Continued in the background (bg), the job goes on there; one that
    // wants the terminal it cannot have waits for the caller's next stop.
    if (holds_terminal_ || signal == SIGTSTP)
        kill(-group_, SIGCONT);
}

bool Job::exited() const noexcept
{
    for (size_t i = 0; i < count_; ++i)
        if (!members_[i].exited)
            return false;
    return true;
}

void Job::reap(int *statuses, int &error) noexcept
{
    untrack(group_);
    if (holds_terminal_)
        give_terminal(getpgrp());
    for (size_t i = 0; i < count_; ++i)
        while (waitpid(members_[i].pid, &statuses[i], 0) < 0) {
            if (errno != EINTR) {
                error = errno;
                statuses[i] = -1;
                break;
            }
        }
}

// ---- Starting a process ------------------------------------------------

// What a process of the job starts with.
struct Launch {
    const char *const *argv;
    char *const *envp;
    const char *dir;
    int fds[3];          // its 0-2; -1: the caller's
    pid_t group;         // 0: a new one that it leads
    bool takes_terminal; // its group becomes the terminal's foreground
};

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

// Closes every descriptor from 3 up, by the kernel's close_range or else
// by the list in /proc. Async-signal-safe.
void close_from_3() noexcept
{
#if QO_HAVE_CLOSE_RANGE
    if (close_range(3, ~0U, 0) == 0)
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
            if (fd > 2 && fd != dir)
                close(fd);
            at += length;
        }
    close(dir);
}

// The child's side of a vfork: async-signal-safe calls only, in the
// parent's memory, which is how its failure reaches the parent.
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

// The child's side of a vfork: async-signal-safe calls only, in the
// parent's memory, which is how its failure reaches the parent.
[[noreturn]] void child(const Launch &l, volatile int &error) noexcept
{
    setpgid(0, l.group);
    if (l.takes_terminal)
        tcsetpgrp(STDIN_FILENO, getpgrp());
    bool placed = !l.dir || chdir(l.dir) == 0;
    for (int target = 0; placed && target < 3; ++target)
        placed = l.fds[target] < 0 || dup2(l.fds[target], target) >= 0;
    if (placed) {
        close_from_3();
        reset_signals(l.takes_terminal);
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
    default_signals(defaults, l.takes_terminal);
    sigemptyset(&empty);
    keep_first(posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
    keep_first(posix_spawnattr_setpgroup(&attr, l.group));
    keep_first(posix_spawnattr_setsigmask(&attr, &empty));
    keep_first(posix_spawnattr_setsigdefault(&attr, &defaults));
    if (l.dir)
        keep_first(posix_spawn_file_actions_addchdir_np(&actions, l.dir));
#if QO_HAVE_POSIX_SPAWN_FILE_ACTIONS_ADDTCSETPGRP_NP
    if (l.takes_terminal)
        keep_first(posix_spawn_file_actions_addtcsetpgrp_np(&actions, STDIN_FILENO));
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

// posix_spawn where the C library can do all the setup; else a vfork child.
// A command that takes the terminal must have it before its exec, or its
// first read from /dev/tty would stop it.
int launch(const Launch &l, pid_t &pid) noexcept
{
#if QO_SPAWN_DOES_SETUP
    if (!l.takes_terminal || spawn_takes_terminal)
        return spawn_with_setup(l, pid);
#endif
    return launch_by_vfork(l, pid);
}

// ---- One run -----------------------------------------------------------

// A write to a pipe the command has closed raises SIGPIPE, whose default
// ends the caller: it is blocked in this thread during the run.
using SigpipeGuard = qo_sigpipe::Blocked;

class Run {
  public:
    Run(const char *const argv[], const qo_run_options &o, const Site &site) noexcept;
    ~Run();
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    // 0, or the errno that kept the command from starting; file, when it
    // was a file that could not be opened.
    int start(const char *&file) noexcept;
    void serve() noexcept;
    int reap(int &error) noexcept;
    void fill_slots() noexcept;
    bool timed_out() const noexcept { return job_.timed_out(); }

  private:
    int open_files(const char *&file) noexcept;
    int open_pipes() noexcept;
    bool poll_once() noexcept;
    short revents(int fd, short events) const noexcept;
    void serve_stream(Stream &s) noexcept;
    bool done() const noexcept;

    const char *const *argv_;
    const qo_run_options &o_;
    const Site &site_;
    SigpipeGuard sigpipe_;
    Environment env_;
    Job job_;
    Input in_;
    Stream out_{"stdout", STDOUT_FILENO};
    Stream err_{"stderr", STDERR_FILENO};
    bool merged_;             // stderr goes into the stdout pipe
    char **unused_ = nullptr; // the output slot when a file takes stdout
    int theirs_[3];           // the command's 0-2, placed over its own
    pollfd polled_fds_[8] = {};
    nfds_t polled_ = 0;
};

Run::Run(const char *const argv[], const qo_run_options &o, const Site &site) noexcept
    : argv_(argv), o_(o), site_(site), env_(o.env, site), job_(1, o.timeout_ms, site),
      merged_(o.output && o.output == o.errors && !o.output_file), theirs_{-1, -1, -1}
{
    if (!o.input_file) {
        in_.rest = o.input;
        in_.left = o.input ? strlen(o.input) : 0;
    }
    out_.slot = o.output_file ? nullptr : o.output;
    if (o.output_file && o.output != o.errors)
        unused_ = o.output;
    err_.slot = merged_ ? nullptr : o.errors;
    out_.log_level = o.output_file ? 0 : o.log_output;
    err_.log_level = o.log_output;
}

Run::~Run()
{
    close_fd(in_.fd);
    close_fd(out_.fd);
    close_fd(err_.fd);
    for (int &fd : theirs_)
        close_fd(fd);
}

// The files come first: one that cannot be opened starts nothing.
int Run::open_files(const char *&file) noexcept
{
    int error = 0;
    if (o_.input_file && (error = open_file(theirs_[0], o_.input_file, O_RDONLY)))
        file = o_.input_file;
    const int mode = o_.flags & QO_RUN_APPEND ? O_APPEND : O_TRUNC;
    if (!error && o_.output_file &&
        (error = open_file(theirs_[1], o_.output_file, O_WRONLY | O_CREAT | mode)))
        file = o_.output_file;
    return error;
}

int Run::open_pipes() noexcept
{
    int error = 0;
    if (in_.rest)
        error = open_pipe(in_.fd, theirs_[0], true);
    else if (theirs_[0] < 0)
        error = open_file(theirs_[0], "/dev/null", O_RDONLY);
    if (!error && theirs_[1] < 0 && (out_.slot || out_.log_level > 0))
        error = open_pipe(out_.fd, theirs_[1], false);
    if (!error && !merged_ && (err_.slot || err_.log_level > 0))
        error = open_pipe(err_.fd, theirs_[2], false);
    return error;
}

int Run::start(const char *&file) noexcept
{
    qo_log_internal::flush(); // what the command writes to the log's file comes after
    int error = open_files(file);
    if (!error)
        error = open_pipes();
    pid_t pid = -1;
    if (!error) {
        const Launch l{
            argv_,  env_.entries(),
            o_.dir, {theirs_[0], theirs_[1], merged_ ? theirs_[1] : theirs_[2]},
            0,      job_.takes_terminal()};
        error = launch(l, pid);
    }
    for (int &fd : theirs_)
        close_fd(fd);
    if (error)
        job_.not_started();
    else
        job_.add(pid);
    return error;
}

// Done once the job has ended and its output is in: pipes closed, bytes
// passed on. After SIGKILL, once it has ended: what still holds the pipes
// has left the group and is no longer the command's, and a caller's
// descriptor that takes nothing is given up.
bool Run::done() const noexcept
{
    if (!job_.exited())
        return false;
    if (job_.killed())
        return true;
    return out_.fd < 0 && err_.fd < 0 && out_.backlog() == 0 && err_.backlog() == 0;
}

// False when the run is over, or poll failed for another reason than a
// signal. The deadline's last step can end the run before any poll.
bool Run::poll_once() noexcept
{
    polled_ = 0;
    const int wait_ms = job_.wait_ms();
    if (done())
        return false;
    for (const Stream *s : {&out_, &err_}) {
        if (s->fd >= 0 && s->backlog() < pass_backlog)
            polled_fds_[polled_++] = {s->fd, POLLIN, 0};
        if (s->backlog() > 0)
            polled_fds_[polled_++] = {s->passes_to, POLLOUT, 0};
    }
    if (in_.fd >= 0)
        polled_fds_[polled_++] = {in_.fd, POLLOUT, 0};
    job_.watch(polled_fds_, polled_);
    if (poll(polled_fds_, polled_, wait_ms) >= 0)
        return true;
    polled_ = 0;
    return errno == EINTR;
}

short Run::revents(int fd, short events) const noexcept
{
    for (nfds_t i = 0; i < polled_; ++i)
        if (polled_fds_[i].fd == fd && polled_fds_[i].events == events)
            return polled_fds_[i].revents;
    return 0;
}

void Run::serve_stream(Stream &s) noexcept
{
    if (s.fd >= 0 && revents(s.fd, POLLIN) && !read_some(s, site_))
        finish(s, site_);
    if (s.backlog() > 0 && revents(s.passes_to, POLLOUT))
        sigpipe_.raised |= pass_some(s);
}

void Run::serve() noexcept
{
    while (!done() && poll_once()) {
        serve_stream(out_);
        serve_stream(err_);
        if (in_.fd >= 0 && revents(in_.fd, POLLOUT))
            sigpipe_.raised |= write_some(in_);
        job_.check(polled_fds_, polled_);
    }
    finish(out_, site_);
    finish(err_, site_);
}

int Run::reap(int &error) noexcept
{
    int status = -1;
    job_.reap(&status, error);
    return status;
}

void Run::fill_slots() noexcept
{
    for (Stream *s : {&out_, &err_})
        if (s->slot)
            *s->slot = s->text.release(site_);
    if (unused_)
        *unused_ = Buffer().release(site_);
}

// ---- Reporting ---------------------------------------------------------

using qo_run_internal::Outcome;

void log_not_run(const char *const argv[], const char *dir, const char *what, int error,
                 const Site &site) noexcept
{
    char *name = qo_str_internal::shell_word(argv[0], true);
    qo_log_int(4, site.line, site.file, site.routine, "Unable to %s %s%s%s: %s", what,
               name, dir ? " in " : "", dir ? dir : "", strerror(error));
    free(name);
}

void log_outcome(const char *argv0, int status, int timeout_ms, int64_t took,
                 const Site &site) noexcept
{
    char *name = qo_str_internal::shell_word(argv0, true);
    char *outcome = qo_status_text(status);
    if (timeout_ms)
        qo_log_int(5, site.line, site.file, site.routine,
                   "%s: timed out after %d ms, %s (%lld ms)", name, timeout_ms, outcome,
                   static_cast<long long>(took));
    else
        qo_log_int(5, site.line, site.file, site.routine, "%s: %s (%lld ms)", name,
                   outcome, static_cast<long long>(took));
    free(outcome);
    free(name);
}

// A slot that still holds a string gets it released, as qo_getline() does.
void empty_slot(char **slot, const Site &site) noexcept
{
    if (!slot || !*slot)
        return;
    qo_log_int(1, site.line, site.file, site.routine,
               "%s found a non freed variable here", site.routine);
    free(*slot);
    *slot = nullptr;
}

} // namespace

Outcome qo_run_internal::run(const char *const argv[], const qo_run_options &o,
                             const Site &site) noexcept
{
    empty_slot(o.output, site);
    empty_slot(o.errors, site);
    char *line = command_line(argv, o, site);
    qo_log_int(5, site.line, site.file, site.routine, "%s", line);
    free(line);
    const int64_t started = now_ms();
    Run job(argv, o, site);
    const char *file = nullptr;
    if (const int error = job.start(file)) {
        if (file)
            qo_log_int(4, site.line, site.file, site.routine, "Unable to open %s: %s",
                       file, strerror(error));
        else
            log_not_run(argv, o.dir, "run", error, site);
        job.fill_slots();
        return {-1, error};
    }
    job.serve();
    int error = 0;
    const int status = job.reap(error);
    job.fill_slots();
    if (status == -1) {
        log_not_run(argv, nullptr, "wait for", error, site);
        return {-1, error};
    }
    log_outcome(argv[0], status, job.timed_out() ? o.timeout_ms : 0, now_ms() - started,
                site);
    return {status, job.timed_out() ? ETIMEDOUT : 0};
}

void qo_run_internal::end_running() noexcept
{
    const uint64_t self = uint64_t{uint32_t(getpid())} << 32;
    for (auto &slot : running_groups) {
        const uint64_t entry = slot.load();
        if (entry && (entry & ~uint64_t{UINT32_MAX}) == self)
            kill(-static_cast<pid_t>(entry & UINT32_MAX), SIGKILL);
    }
}

extern "C" int qo_run_int(const char *const argv[], const qo_run_options *options,
                          int line, const char *file) noexcept
{
    const Site site{line, file, "qo_run_int"};
    qo_fail::require(argv, site, "qo_run: NULL argv");
    if (!argv[0])
        fail(site, "qo_run: empty argv");
    const qo_run_options defaults{};
    const Outcome outcome =
        qo_run_internal::run(argv, options ? *options : defaults, site);
    errno = outcome.error;
    return outcome.status;
}

extern "C" char *qo_status_text(int status) noexcept
{
    char *text = nullptr;
    if (status == -1) {
        qo_asprintf(&text, "could not be run");
    } else if (WIFEXITED(status)) {
        qo_asprintf(&text, "exited with status %d", WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
#if QO_HAVE_SIGDESCR_NP
        const char *name = sigdescr_np(WTERMSIG(status));
#else
        // The C library's own names; strsignal() is what it has for them.
        const char *name = strsignal(WTERMSIG(status)); // NOLINT(concurrency-mt-unsafe)
#endif
        qo_asprintf(&text, "killed by signal %d (%s)", WTERMSIG(status),
                    name ? name : "unknown");
    } else {
        qo_asprintf(&text, "unknown status %d", status);
    }
    return text;
}

// Programs built against 1.1 pass the options as they were then: the first
// six fields. The shared library keeps their qo_run_int under its old
// version; a static library is always linked with the header it came with.
#if defined(qo_EXPORTS) || defined(qo_shared_EXPORTS)

namespace {

struct RunOptions11 {
    const char *input;
    char **output;
    char **errors;
    int timeout_ms;
    const char *dir;
    int log_output;
};

} // namespace

extern "C" QO_API int run_int_1_1(const char *const argv[], const RunOptions11 *options,
                                  int line, const char *file) noexcept
{
    qo_run_options now{};
    if (options) {
        now.input = options->input;
        now.output = options->output;
        now.errors = options->errors;
        now.timeout_ms = options->timeout_ms;
        now.dir = options->dir;
        now.log_output = options->log_output;
    }
    return qo_run_int(argv, &now, line, file);
}
__asm__(".symver run_int_1_1,qo_run_int@QO_1.0");

#endif
