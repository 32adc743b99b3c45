// Runs commands without a shell. The command gets its own process group,
// so that a deadline reaches everything it started; its pipes and its exit
// (through a pidfd) are watched by one poll loop, so that no amount of
// input or output can deadlock and no background child can hold the run
// past its deadline.
#include "qo.h"
#include "qo_err_internal.h"
#include "qo_log_internal.h"
#include "qo_sigpipe_internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ; // NOLINT(readability-redundant-declaration)

namespace {

constexpr int kill_grace_ms = 1000;
constexpr size_t read_chunk = size_t{64} << 10;    // a new pipe's size
constexpr size_t big_read_chunk = size_t{1} << 20; // the most a user may ask
// Without a pidfd (kernels before 5.3) the exit is looked for this often.
constexpr int exit_check_ms = 10;

using qo_fail::Site;

[[noreturn]] void fail(const Site &site, const char *message) noexcept
{
    qo_fail::fail(site, -1, message);
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

// ---- The command as a shell line, for the log --------------------------

// Bytes a shell reads literally; '=' too, except in the first word, where
// it would turn the word into an assignment.
bool is_plain(const char *word, bool first) noexcept
{
    if (!*word)
        return false;
    for (const char *c = word; *c; ++c) {
        const bool alnum = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                           (*c >= '0' && *c <= '9');
        if (!alnum && !strchr(first ? "_@%+:,./-" : "_@%+=:,./-", *c))
            return false;
    }
    return true;
}

char *shell_word(const char *word, bool first) noexcept
{
    if (!is_plain(word, first))
        return qo_shell_quote(word);
    char *copy = nullptr;
    qo_asprintf(&copy, "%s", word);
    return copy;
}

void append_word(char **line, const char *word, bool first, const Site &site) noexcept
{
    char *shown = shell_word(word, first);
    qo_strcat_int(line, site.line, site.file, "%s%s", *line ? " " : "", shown);
    free(shown);
}

char *command_line(const char *const argv[], const char *dir, const Site &site) noexcept
{
    char *line = nullptr;
    if (dir) {
        append_word(&line, "cd", true, site);
        append_word(&line, dir, false, site);
        qo_strcat_int(&line, site.line, site.file, " &&");
    }
    for (size_t i = 0; argv[i]; ++i)
        append_word(&line, argv[i], i == 0, site);
    return line;
}

// ---- Pipes -------------------------------------------------------------

// Bytes read from a pipe: the captured output, or the start of a line
// still waiting for its end.
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
    const char *data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    size_t spare() const noexcept { return room_ - size_ - 1; }
    void grow(size_t n) noexcept { size_ += n; }
    void drop_front(size_t n) noexcept
    {
        memmove(data_, data_ + n, size_ - n);
        size_ -= n;
    }
    // The text as a string the caller owns; the buffer is left empty.
    char *release(const Site &site) noexcept
    {
        reserve(0, site)[0] = '\0';
        char *text = data_;
        data_ = nullptr;
        size_ = room_ = 0;
        return text;
    }

  private:
    char *data_ = nullptr;
    size_t size_ = 0, room_ = 0;
};

// One of the command's output streams, when it comes through a pipe.
struct Stream {
    Stream(const char *name, int passes_to) noexcept : name(name), passes_to(passes_to)
    {
    }

    const char *name;      // as the log calls it
    int passes_to;         // the caller's descriptor that uncaptured bytes go to
    int fd = -1;           // our end; -1 when closed or when there is no pipe
    char **slot = nullptr; // receives the text; NULL: passed on and logged
    int log_level = 0;     // for uncaptured lines
    size_t chunk = read_chunk;
    Buffer text;
};

// The caller's descriptor gets the bytes as it would have from the command
// itself; one that is closed or has lost its reader loses them. True when
// the write raised SIGPIPE.
bool pass_on(int fd, const char *bytes, size_t n) noexcept
{
    while (n > 0) {
        const ssize_t written = write(fd, bytes, n);
        if (written >= 0) {
            bytes += written;
            n -= static_cast<size_t>(written);
        } else if (errno == EAGAIN) {
            pollfd ready{fd, POLLOUT, 0};
            poll(&ready, 1, -1);
        } else if (errno != EINTR) {
            return errno == EPIPE;
        }
    }
    return false;
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
bool read_some(Stream &s, bool &raised_sigpipe, const Site &site) noexcept
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
        raised_sigpipe |= pass_on(s.passes_to, at, static_cast<size_t>(n));
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

// 0, or the errno of the failure. Our end does not block; theirs does.
// Ends may land on 0-2 when the caller has closed those: the pipes are made
// in the order of their targets and the kernel numbers a read end below its
// write end, so placing them in that order never overwrites one before it
// is placed, and an end already in place is kept open by posix_spawn.
int open_pipe(int &ours, int &theirs, bool command_reads) noexcept
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    ours = fds[command_reads ? 1 : 0];
    theirs = fds[command_reads ? 0 : 1];
    fcntl(ours, F_SETFL, O_NONBLOCK);
    return 0;
}

// A write to a pipe the command has closed raises SIGPIPE, whose default
// ends the caller: it is blocked in this thread during the run.
using SigpipeGuard = qo_sigpipe::Blocked;

// ---- One run -----------------------------------------------------------

class Run {
  public:
    Run(const char *const argv[], const qo_run_options &o, const Site &site) noexcept;
    ~Run();
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    int start() noexcept; // 0, or the errno that kept the command from starting
    void serve() noexcept;
    int reap(int &error) const noexcept;
    void fill_slots() noexcept;
    bool timed_out() const noexcept { return stage_ != Stage::running; }

  private:
    enum class Stage { running, terminated, killed };

    int open_pipes() noexcept;
    int spawn() noexcept;
    int enforce_deadline() noexcept;
    bool poll_once() noexcept;
    bool ready(int fd) const noexcept;
    bool child_exited() const noexcept;
    bool done() const noexcept;

    const char *const *argv_;
    const char *dir_;
    const Site &site_;
    SigpipeGuard sigpipe_;
    Input in_;
    Stream out_{"stdout", STDOUT_FILENO};
    Stream err_{"stderr", STDERR_FILENO};
    bool merged_;   // stderr goes into the stdout pipe
    int theirs_[3]; // the command's ends, placed over its 0-2
    pid_t pid_ = -1;
    int pidfd_ = -1;
    bool exited_ = false; // seen, not yet reaped
    int timeout_ms_;
    // In us, monotonic: counted in whole ms, it could come up to 1 ms early.
    int64_t deadline_ = 0;
    Stage stage_ = Stage::running;
    pollfd polled_fds_[4] = {};
    nfds_t polled_ = 0;
};

Run::Run(const char *const argv[], const qo_run_options &o, const Site &site) noexcept
    : argv_(argv), dir_(o.dir), site_(site),
      merged_(o.output && o.output == o.errors), theirs_{-1, -1, -1},
      timeout_ms_(o.timeout_ms)
{
    in_.rest = o.input;
    in_.left = o.input ? strlen(o.input) : 0;
    out_.slot = o.output;
    err_.slot = merged_ ? nullptr : o.errors;
    out_.log_level = err_.log_level = o.log_output;
}

Run::~Run()
{
    close_fd(in_.fd);
    close_fd(out_.fd);
    close_fd(err_.fd);
    close_fd(pidfd_);
    for (int &fd : theirs_)
        close_fd(fd);
}

int Run::open_pipes() noexcept
{
    int error = 0;
    if (in_.rest)
        error = open_pipe(in_.fd, theirs_[0], true);
    if (!error && (out_.slot || out_.log_level > 0))
        error = open_pipe(out_.fd, theirs_[1], false);
    if (!error && !merged_ && (err_.slot || err_.log_level > 0))
        error = open_pipe(err_.fd, theirs_[2], false);
    return error;
}

int Run::spawn() noexcept
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    int setup = 0;
    auto keep_first = [&setup](int result) { setup = setup ? setup : result; };
    keep_first(posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP |
                                                   POSIX_SPAWN_SETSIGMASK));
    keep_first(posix_spawnattr_setpgroup(&attr, 0));
    keep_first(posix_spawnattr_setsigmask(&attr, &sigpipe_.thread_mask()));
    if (dir_)
        keep_first(posix_spawn_file_actions_addchdir_np(&actions, dir_));
    if (theirs_[0] < 0)
        keep_first(posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
                                                    O_RDONLY, 0));
    const int ends[3] = {theirs_[0], theirs_[1], merged_ ? theirs_[1] : theirs_[2]};
    for (int target = 0; target < 3; ++target)
        if (ends[target] >= 0)
            keep_first(
                posix_spawn_file_actions_adddup2(&actions, ends[target], target));
    // Whatever the caller left open without close-on-exec stays out too.
    keep_first(posix_spawn_file_actions_addclosefrom_np(&actions, 3));
    if (setup)
        fail(site_, "Unable to alloc memory in qo_run");
    const int error = posix_spawnp(&pid_, argv_[0], &actions, &attr,
                                   const_cast<char *const *>(argv_), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return error;
}

int Run::start() noexcept
{
    qo_log_internal::flush(); // what the command writes to the log's file comes after
    int error = open_pipes();
    if (!error)
        error = spawn();
    for (int &fd : theirs_)
        close_fd(fd);
    if (error)
        return error;
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    deadline_ = now_us() + int64_t{timeout_ms_} * 1000;
    return 0;
}

// Without a wait: the command stays a zombie, its group id stays its own,
// until reap().
bool Run::child_exited() const noexcept
{
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) < 0)
        return errno != EINTR; // ECHILD: reaped by the kernel (SIGCHLD ignored)
    return info.si_pid == pid_;
}

// Signals the group as the deadline calls for; returns the ms until the
// next step, or -1 when there is none.
int Run::enforce_deadline() noexcept
{
    if (timeout_ms_ <= 0)
        return -1;
    constexpr int64_t grace = int64_t{kill_grace_ms} * 1000;
    const int64_t now = now_us();
    if (stage_ == Stage::running && now >= deadline_) {
        kill(-pid_, SIGTERM);
        stage_ = Stage::terminated;
    }
    if (stage_ == Stage::terminated && now >= deadline_ + grace) {
        kill(-pid_, SIGKILL);
        stage_ = Stage::killed;
    }
    if (stage_ == Stage::killed)
        return -1;
    const int64_t next = stage_ == Stage::running ? deadline_ : deadline_ + grace;
    return static_cast<int>(std::min<int64_t>((next - now + 999) / 1000, INT_MAX));
}

// Done once the command has ended and its output pipes are closed, or,
// after SIGKILL, once it has ended: what still holds the pipes then has
// left the group and is no longer the command's.
bool Run::done() const noexcept
{
    return exited_ && ((out_.fd < 0 && err_.fd < 0) || stage_ == Stage::killed);
}

// False when poll failed for another reason than a signal.
bool Run::poll_once() noexcept
{
    polled_ = 0;
    for (const int fd : {out_.fd, err_.fd})
        if (fd >= 0)
            polled_fds_[polled_++] = {fd, POLLIN, 0};
    if (in_.fd >= 0)
        polled_fds_[polled_++] = {in_.fd, POLLOUT, 0};
    if (pidfd_ >= 0 && !exited_)
        polled_fds_[polled_++] = {pidfd_, POLLIN, 0};
    int wait_ms = enforce_deadline();
    if (pidfd_ < 0 && !exited_ && (wait_ms < 0 || wait_ms > exit_check_ms))
        wait_ms = exit_check_ms;
    if (poll(polled_fds_, polled_, wait_ms) >= 0)
        return true;
    polled_ = 0;
    return errno == EINTR;
}

bool Run::ready(int fd) const noexcept
{
    for (nfds_t i = 0; i < polled_; ++i)
        if (polled_fds_[i].fd == fd)
            return polled_fds_[i].revents != 0;
    return false;
}

void Run::serve() noexcept
{
    while (!done() && poll_once()) {
        for (Stream *s : {&out_, &err_})
            if (s->fd >= 0 && ready(s->fd) && !read_some(*s, sigpipe_.raised, site_))
                finish(*s, site_);
        if (in_.fd >= 0 && ready(in_.fd))
            sigpipe_.raised |= write_some(in_);
        if (!exited_ && (pidfd_ < 0 || ready(pidfd_)))
            exited_ = child_exited();
    }
    finish(out_, site_);
    finish(err_, site_);
}

int Run::reap(int &error) const noexcept
{
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0)
        if (errno != EINTR) {
            error = errno;
            return -1;
        }
    return status;
}

void Run::fill_slots() noexcept
{
    for (Stream *s : {&out_, &err_})
        if (s->slot)
            *s->slot = s->text.release(site_);
}

// ---- Reporting ---------------------------------------------------------

struct Outcome {
    int status;
    int error; // for errno
};

void log_not_run(const char *const argv[], const char *dir, const char *what, int error,
                 const Site &site) noexcept
{
    char *name = shell_word(argv[0], true);
    qo_log_int(4, site.line, site.file, site.routine, "Unable to %s %s%s%s: %s", what,
               name, dir ? " in " : "", dir ? dir : "", strerror(error));
    free(name);
}

void log_outcome(const char *argv0, int status, int timeout_ms, int64_t took,
                 const Site &site) noexcept
{
    char *name = shell_word(argv0, true);
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

Outcome run(const char *const argv[], const qo_run_options &o,
            const Site &site) noexcept
{
    char *line = command_line(argv, o.dir, site);
    qo_log_int(5, site.line, site.file, site.routine, "%s", line);
    free(line);
    const int64_t started = now_ms();
    Run job(argv, o, site);
    if (const int error = job.start()) {
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

} // namespace

extern "C" int qo_run_int(const char *const argv[], const qo_run_options *options,
                          int line, const char *file) noexcept
{
    const Site site{line, file, "qo_run_int"};
    qo_fail::require(argv, site, "qo_run: NULL argv");
    if (!argv[0])
        fail(site, "qo_run: empty argv");
    const qo_run_options defaults{};
    const Outcome outcome = run(argv, options ? *options : defaults, site);
    errno = outcome.error;
    return outcome.status;
}

extern "C" int qo_system_output_int(char **slot, int line, const char *file,
                                    const char *format, ...) noexcept
{
    const Site site{line, file, "qo_system_output_int"};
    qo_fail::require(slot, site, "qo_system_output: NULL slot");
    qo_fail::require(format, site, "qo_system_output: NULL format");
    char *command = nullptr;
    va_list ap;
    va_start(ap, format);
    const int n = vasprintf(&command, format, ap);
    va_end(ap);
    if (n < 0)
        fail(site, "Unable to alloc memory in qo_system_output_int");
    const char *const argv[] = {"/bin/sh", "-c", "--", command, nullptr};
    qo_run_options options{};
    options.output = slot;
    const Outcome outcome = run(argv, options, site);
    free(command);
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
        const char *name = sigdescr_np(WTERMSIG(status));
        qo_asprintf(&text, "killed by signal %d (%s)", WTERMSIG(status),
                    name ? name : "unknown");
    } else {
        qo_asprintf(&text, "unknown status %d", status);
    }
    return text;
}
