// Runs commands without a shell. Each run is a job: one process group, so
// that a deadline, Ctrl-C and Ctrl-Z reach everything the command started,
// which takes the terminal over while it runs when the caller had it. Its
// pipes and its exit (through a pidfd) are watched by one epoll set, so
// that no amount of input or output can deadlock and nothing, not even a
// reader of the caller's stdout that never reads, holds the run past its
// deadline; a caller holding the job polls the set's descriptor.
#include "run/qo_run_engine_internal.h"
#include "run/streams/qo_run_follow_internal.h"
#include "qo.h"
#include "exit/qo_err_internal.h"
#include "log/qo_log_internal.h"
#include "str/qo_str_internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace qo_run;       // NOLINT(google-build-using-namespace)
using namespace qo_run_file;  // NOLINT(google-build-using-namespace)
using namespace qo_run_io;    // NOLINT(google-build-using-namespace)
using namespace qo_run_job;   // NOLINT(google-build-using-namespace)
using namespace qo_run_spawn; // NOLINT(google-build-using-namespace)

// The size programs built against 1.4 allocate: later fields are carved
// out of its reserved room, or the struct grows behind new versions.
static_assert(sizeof(void *) != 8 || sizeof(qo_run_options) == 304,
              "qo_run_options keeps the size it had in 1.4");

namespace qo_run_engine {

namespace {

// Watched at most: each of our three pipes, the caller's stdout and stderr
// for their backlogs, the file the run writes itself, the stop's eventfd,
// the timer, a contained run's group, and for each stage its pidfd and its
// stderr apart.
constexpr size_t watched_besides_stages = 9;
constexpr size_t watched_per_stage = 2;

int stage_line(void *context, const char *line, size_t size) noexcept
{
    const auto *at = static_cast<const Run::StageLines *>(context);
    return at->o->on_stage_errors(at->o->context, at->stage, line, size);
}

// Each stage's stderr apart: asked for, or a pipeline's lines that only
// the log takes, so that each names its stage. The caller's descriptor
// wins over both.
bool stage_errors_apart(const qo_run_options &o, size_t stages) noexcept
{
    if (o.flags & QO_RUN_ERRORS_FD)
        return false;
    return o.on_stage_errors || o.stage_errors ||
           (stages > 1 && o.log_output > 0 && !o.errors && !o.on_errors);
}

// stderr into the stdout pipe: output and errors the same slot, unless a
// file or a descriptor takes either stream, or each stage's errors come
// apart, which take stderr from errors whatever slot it is.
bool merged(const qo_run_options &o) noexcept
{
    return o.output && o.output == o.errors && !o.output_file &&
           !(o.flags & (QO_RUN_OUTPUT_FD | QO_RUN_ERRORS_FD)) && !o.on_stage_errors &&
           !o.stage_errors;
}

} // namespace

Run::Run(const Stages &stages, const qo_run_options &o, int64_t began,
         const Site &site) noexcept
    : stages_(stages), o_(o), site_(site), until_(deadline_of(began, o.timeout_ms)),
      env_(o.env, o.flags & QO_RUN_CLEAR_ENV, site),
      job_(stages.count, {o.timeout_ms, o.stop_signal, o.grace_ms}, began, site,
           o.flags & QO_RUN_NEW_SESSION),
      output_(o_), merged_(merged(o)), theirs_{-1, -1, -1},
      wanted_(static_cast<pollfd *>(allocate(
          (stages.count * watched_per_stage + watched_besides_stages) * sizeof(pollfd),
          site))),
      watched_(static_cast<pollfd *>(allocate(
          (stages.count * watched_per_stage + watched_besides_stages) * sizeof(pollfd),
          site))),
      usage_(static_cast<qo_run_usage *>(
          allocate(stages.count * sizeof(qo_run_usage), site)))
{
    std::fill(usage_, usage_ + stages.count, qo_run_usage{});
    // The caller's descriptors win over every other way to give a stream.
    const bool input_fd = o.flags & QO_RUN_INPUT_FD,
               output_fd = o.flags & QO_RUN_OUTPUT_FD,
               errors_fd = o.flags & QO_RUN_ERRORS_FD;
    const bool out_taken = o.output_file || output_fd;
    if (o.flags & QO_RUN_INPUT_PIPE) {
        in_.pushed = true;
    } else if (o.on_input && !input_fd) {
        in_.more = o.on_input;
        in_.context = o.context;
    } else if (!o.input_file && !input_fd) {
        in_.rest = o.input;
        in_.left = o.input ? strlen(o.input) : 0;
    }
    out_.slot = out_taken ? nullptr : o.output;
    err_.slot = merged_ || errors_fd ? nullptr : o.errors;
    if (out_taken && o.output != err_.slot)
        unused_[0] = o.output;
    if (errors_fd && o.errors != out_.slot && o.errors != unused_[0])
        unused_[1] = o.errors;
    // Merged, both streams come through the stdout pipe, and its callback.
    out_.lines.set(output_fd ? nullptr : o.on_output, o.context, &stop_asked_);
    err_.lines.set(merged_ || errors_fd ? nullptr : o.on_errors, o.context,
                   &stop_asked_);
    out_.partial = err_.partial = o.flags & QO_RUN_PARTIAL_LINES;
    out_.log_level = out_taken ? 0 : o.log_output;
    err_.log_level = errors_fd ? 0 : o.log_output;
    out_.log_until = err_.log_until = until_;
    if (stage_errors_apart(o, stages.count))
        apart_stage_errors();
}

// The shared stderr takes nothing then, and its slot receives "" (or
// stdout alone, when it is output's).
void Run::apart_stage_errors() noexcept
{
    const size_t n = stages_.count;
    stage_errs_ = static_cast<Stream *>(allocate(n * sizeof(Stream), site_));
    stage_theirs_ = static_cast<int *>(allocate(n * sizeof(int), site_));
    stage_lines_ = static_cast<StageLines *>(allocate(n * sizeof(StageLines), site_));
    stage_names_ = static_cast<char **>(allocate(n * sizeof(char *), site_));
    for (size_t i = 0; i < n; ++i) {
        stage_names_[i] = nullptr;
        char *name = qo_str::shell_word(stages_.argv[i][0], true);
        (qo_asprintf)(&stage_names_[i], site_.line, site_.file,
                      "stderr of stage %zu (%s)", i + 1, name);
        free(name);
        Stream &e = *::new (&stage_errs_[i]) Stream(stage_names_[i], STDERR_FILENO);
        stage_theirs_[i] = -1;
        stage_lines_[i] = {&o_, i};
        e.slot = o_.stage_errors ? &o_.stage_errors[i] : nullptr;
        e.lines.set(o_.on_stage_errors ? stage_line : nullptr, &stage_lines_[i],
                    &stop_asked_);
        e.partial = err_.partial;
        e.log_level = o_.log_output;
        e.log_until = until_;
    }
    if (err_.slot && err_.slot != out_.slot && !unused_[1])
        unused_[1] = err_.slot;
    err_.slot = nullptr;
    err_.lines.set(nullptr, nullptr, &stop_asked_);
    err_.log_level = 0;
}

Run::~Run()
{
    close_fd(in_.fd);
    close_fd(out_.tee_fd);
    close_fd(out_.follow_fd); // a run that did not start
    each_stream([](Stream &s) { close_fd(s.fd); });
    for (int &end : theirs_)
        close_fd(end);
    for (size_t i = 0; stage_errs_ && i < stages_.count; ++i) {
        close_fd(stage_theirs_[i]);
        stage_errs_[i].~Stream();
        free(stage_names_[i]);
    }
    free(stage_errs_);
    free(stage_theirs_);
    free(stage_lines_);
    free(stage_names_);
    close_fd(epoll_);
    int wake = wake_.exchange(-1);
    close_fd(wake);
    close_fd(timer_);
    free(wanted_);
    free(watched_);
    free(usage_);
}

// The files come first: one that cannot be opened starts nothing. The
// caller's descriptors come before them, and win over them.
int Run::open_files(NotStarted &failed) noexcept
{
    if (const int error = setup_.take_fds(o_, theirs_)) {
        failed.refused = setup_.why();
        return error;
    }
    if (in_.pushed)
        close_fd(theirs_[0]);
    if (o_.input_file && !in_.pushed && theirs_[0] < 0) {
        if (const int error = open_file(theirs_[0], o_.input_file, O_RDONLY)) {
            failed.file = o_.input_file;
            return error;
        }
    }
    const Failure output = theirs_[1] < 0 ? output_.open(theirs_[1], site_) : Failure{};
    if (output.error) {
        failed.file = o_.output_file;
        failed.step = output.step;
        failed.cause = output.cause;
        failed.missing_folder = output.missing_folder;
    }
    // With on_output, the command writes the file and the run follows it;
    // where it cannot, the file is written here from what the command's
    // stdout brings, which the callback sees too.
    // Not blocking: a FIFO whose reader stalled holds no write past the
    // deadline. The description is the run's own.
    if (!output.error && o_.output_file && out_.lines.active() && theirs_[1] >= 0 &&
        !qo_run_follow::follow(out_, theirs_[1])) {
        out_.tee_fd = theirs_[1];
        out_.tee_name = o_.output_file;
        theirs_[1] = -1;
        fcntl(out_.tee_fd, F_SETFL, fcntl(out_.tee_fd, F_GETFL) | O_NONBLOCK);
    }
    return output.error;
}

// Just before the last stage starts: the file it writes is emptied only
// once its program is found, so that a run that cannot start loses
// nothing; a program that is not found is that stage's failure.
int Run::prepare_output(NotStarted &failed) noexcept
{
    if (!output_.has_content_to_empty())
        return 0;
    if (const int error = find_program(stages_.argv[failed.stage][0], o_.dir))
        return error;
    const int error = output_.empty();
    if (error)
        failed.file = o_.output_file;
    return error;
}

int Run::open_pipes() noexcept
{
    int error = 0;
    if (in_.rest || in_.more || in_.pushed)
        error = open_pipe(in_.fd, theirs_[0], true);
    else
        null_input_ = theirs_[0] < 0; // the command opens it itself
    if (!error && theirs_[1] < 0 &&
        (out_.slot || out_.log_level > 0 || out_.lines.active()))
        error = open_pipe(out_.fd, theirs_[1], false);
    if (!error && !merged_ && (err_.slot || err_.log_level > 0 || err_.lines.active()))
        error = open_pipe(err_.fd, theirs_[2], false);
    for (size_t i = 0; !error && stage_errs_ && i < stages_.count; ++i) {
        Stream &e = stage_errs_[i];
        if (e.slot || e.log_level > 0 || e.lines.active())
            error = open_pipe(e.fd, stage_theirs_[i], false);
    }
    return error;
}

// The set a caller polls. A stop stored before it was there wakes it now.
int Run::open_set() noexcept
{
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0)
        return errno;
    if (!wrapped_)
        set_.store(epoll_);
    if (!wrapped_ && stop_wanted_.load())
        wake_set(epoll_);
    keep_set();
    return 0;
}

// The job's eventfd, made and put into the set at the first stop from
// elsewhere, by whichever thread or handler asks it (eventfd, epoll_ctl
// and write are plain system calls): a job nobody stops never has one.
void Run::wake_set(int set) noexcept
{
    int wake = wake_.load();
    if (wake < 0) {
        const int made = eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK); // written once
        if (made < 0)
            return; // the stop is heeded at the next serve
        if (wake_.compare_exchange_strong(wake, made)) {
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.fd = made;
            epoll_ctl(set, EPOLL_CTL_ADD, made, &e); // EEXIST: the server was first
            if (set_.load() < 0) // the job ended meanwhile: its set stays quiet
                epoll_ctl(set, EPOLL_CTL_DEL, made, nullptr);
            return;
        }
        close(made); // another stop made it first
    }
    const uint64_t one = 1;
    (void)!write(wake, &one, sizeof one);
}

int Run::fd() noexcept
{
    if (epoll_ < 0) {
        if (const int error = open_set()) {
            errno = error;
            return -1;
        }
    }
    return epoll_;
}

// Between calls the set holds what the job waits for, and its timer runs
// to the next deadline, grace or check; without a set, nobody is looking.
void Run::keep_set() noexcept
{
    if (epoll_ < 0)
        return;
    if (timer_ < 0 && !wrapped_ && job_.wait_ms() >= 0)
        timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (!wrapped_)
        list_wanted();
    sync_wanted();
    arm_timer();
}

// from_previous: the read end of the pipe the stage before writes, which
// this stage takes over; on return, the one this stage writes.
int Run::start_stage(size_t i, int &from_previous) noexcept
{
    const bool last = i + 1 == stages_.count;
    int next_reads = -1, to_next = -1;
    const qo_run_job::Starting starting; // until the job holds the process
    int error = starting.refused() ? ECANCELED
                : last             ? 0
                                   : open_between(next_reads, to_next);
    pid_t stage_pid = -1;
    if (!error) {
        const Launch l{stages_.argv[i],
                       env_.entries(),
                       o_.dir,
                       {i == 0 ? theirs_[0] : from_previous,
                        last ? theirs_[1] : to_next,
                        stage_errs_ ? stage_theirs_[i]
                        : merged_   ? theirs_[1]
                                    : theirs_[2]},
                       job_.group(),
                       job_.terminal(),
                       &setup_.child(),
                       i == 0 && null_input_,
                       group_.fd()};
        error = launch(l, stage_pid);
    }
    close_fd(from_previous);
    close_fd(to_next);
    from_previous = next_reads;
    if (!error)
        job_.add(stage_pid);
    return error;
}

int Run::start(NotStarted &failed) noexcept
{
    if ((failed.refused = refusal(o_)))
        return failed.error = EINVAL;
    if ((failed.error = setup_.check(o_, site_))) {
        failed.refused = setup_.why();
        return failed.error;
    }
    if ((failed.error = group_.make(o_, site_))) {
        failed.refused = group_.why();
        return failed.error;
    }
    if (group_.made())
        job_.contain(&group_);
    // What the command writes to the log's file comes after; a stuck log
    // costs the run no more than its deadline.
    qo_log::flush(until_);
    int error = open_files(failed);
    // A followed file has no end to wait for: the command's exit ends it.
    if (!held_ && o_.timeout_ms <= 0 && out_.follow_fd < 0)
        job_.leave_exits();
    if (!error)
        error = open_pipes();
    int between = -1;
    for (size_t &i = failed.stage; !error && i < stages_.count; ++i)
        if ((i + 1 == stages_.count && (error = prepare_output(failed))) ||
            (error = start_stage(i, between)))
            break;
    close_fd(between);
    for (int &end : theirs_)
        close_fd(end);
    for (size_t i = 0; stage_errs_ && i < stages_.count; ++i)
        close_fd(stage_theirs_[i]);
    stages_.argv = nullptr;
    if (error) {
        job_.abandon();
        output_.abandon();
        return failed.error = error;
    }
    keep_set();
    return 0;
}

// The commands are over once the job has ended and its output is in:
// pipes closed, bytes passed on. After SIGKILL, once it has ended: what
// still holds the pipes has left the group and is no longer the command's,
// and a caller's descriptor that takes nothing is given up.
bool Run::commands_over() const noexcept
{
    if (!job_.exited())
        return false;
    return job_.killed() || output_in();
}

// A contained run is done once its group is empty too.
bool Run::done() const noexcept
{
    return commands_over() && (!group_.made() || group_empty_);
}

// Once its commands are over, whatever they left in the group is killed;
// the group tells when it has emptied.
void Run::settle_group() noexcept
{
    if (!group_.made() || group_empty_)
        return;
    if (revents(group_.events_fd(), POLLPRI) || commands_over())
        group_empty_ = group_.empty();
    if (!group_empty_ && commands_over())
        group_.signal(SIGKILL);
}

// A run that nobody else can stop, with no deadline and no checks to make,
// whose output is all in, waits for its end in the reaping alone.
bool Run::only_reaping_left(int64_t limit) noexcept
{
    if (held_ || limit >= 0 || job_.timing() || in_.fd >= 0 || job_.wait_ms() >= 0)
        return false;
    return output_in();
}

// Every pipe at its end, every byte passed on and in the file.
bool Run::output_in() const noexcept
{
    bool drained = true;
    each_stream([&](const Stream &s) {
        drained = drained && s.fd < 0 && s.backlog() == 0 && s.tee_backlog() == 0;
    });
    return drained;
}

// Streams apart share the caller's stderr: it is watched once.
void Run::want(int fd, short events) noexcept
{
    for (nfds_t i = 0; i < wanted_count_; ++i)
        if (wanted_[i].fd == fd)
            return;
    wanted_[wanted_count_++] = {fd, events, 0};
}

// What poll would be given this round.
void Run::list_wanted() noexcept
{
    wanted_count_ = 0;
    each_stream([this](const Stream &s) {
        if (s.fd >= 0 && s.backlog() < pass_backlog && s.tee_backlog() < pass_backlog)
            want(s.fd, POLLIN);
        if (s.backlog() > 0)
            want(s.passes_to, POLLOUT);
        if (s.tee_backlog() > 0)
            want(s.tee_fd, POLLOUT);
    });
    if (in_.fd >= 0 && !stop_asked_ && in_.has_more())
        want(in_.fd, POLLOUT);
    // Once a stop is wanted, another one changes nothing: no wake-up then.
    // A job with a set is woken through it (wake_set), never through the
    // process's wake-up.
    const int wake = wake_.load();
    wakeable_ = wake < 0 && held_ && epoll_ < 0 && !stop_wanted_.load();
    if (wake >= 0)
        want(wake, POLLIN);
    else if (wakeable_ && qo_run_wake::shared() >= 0)
        want(qo_run_wake::shared(), POLLIN);
    if (timer_ >= 0)
        want(timer_, POLLIN);
    if (group_.made() && !group_empty_)
        want(group_.events_fd(), POLLPRI);
    job_.watch(wanted_, wanted_count_);
}

// Still open, as the run's own or the caller's: a stream's pipe or the
// caller's descriptor it passes bytes on to, the input's pipe, the wakers,
// a stage's pidfd.
bool Run::still_held(int fd) const noexcept
{
    bool held = fd == in_.fd || fd == wake_.load() || fd == timer_ ||
                job_.holds_pidfd(fd) || (fd >= 0 && fd == group_.events_fd());
    each_stream([&](const Stream &s) {
        held = held || fd == s.fd || fd == s.passes_to || fd == s.tee_fd;
    });
    return held;
}

// epoll holds what this round wants: a few calls when it changed, none
// when it did not. A descriptor epoll refuses (a regular file) is always
// ready, as poll says of it.
void Run::sync_wanted(bool pidfds_closing) noexcept
{
    if (epoll_ < 0)
        return; // nobody polls the set: poll() is given wanted_ itself
    const auto find = [](const pollfd *set, nfds_t n, int fd) -> const pollfd * {
        for (nfds_t i = 0; i < n; ++i)
            if (set[i].fd == fd)
                return &set[i];
        return nullptr;
    };
    // A descriptor the run has closed left the set as it closed; its
    // number may be another thread's by now, which is not to be touched.
    for (nfds_t i = 0; i < watched_count_; ++i)
        if (!find(wanted_, wanted_count_, watched_[i].fd) &&
            still_held(watched_[i].fd) &&
            !(pidfds_closing && job_.holds_pidfd(watched_[i].fd)))
            epoll_ctl(epoll_, EPOLL_CTL_DEL, watched_[i].fd, nullptr);
    always_ready_ = false;
    for (nfds_t i = 0; i < wanted_count_; ++i) {
        pollfd &w = wanted_[i];
        const pollfd *was = find(watched_, watched_count_, w.fd);
        epoll_event e{};
        e.events = w.events == POLLIN    ? EPOLLIN
                   : w.events == POLLPRI ? EPOLLPRI
                                         : EPOLLOUT;
        e.data.fd = w.fd;
        // EEXIST: the wake-up, put in by the stop that made it.
        const bool refused =
            !was && epoll_ctl(epoll_, EPOLL_CTL_ADD, w.fd, &e) != 0 && errno != EEXIST;
        if (was && was->events != w.events)
            epoll_ctl(epoll_, EPOLL_CTL_MOD, w.fd, &e);
        w.revents = refused ? POLLNVAL : 0; // marked for the copy below
        always_ready_ = always_ready_ || refused;
    }
    watched_count_ = 0;
    for (nfds_t i = 0; i < wanted_count_; ++i)
        if (wanted_[i].revents != POLLNVAL)
            watched_[watched_count_++] = wanted_[i];
}

// Waits for what this round wants, up to wait_ms, and marks what is ready.
// False when the wait failed for another reason than a signal.
bool Run::wait_once(int wait_ms) noexcept
{
    list_wanted();
    if (epoll_ < 0)
        return poll_once(wait_ms);
    sync_wanted();
    if (always_ready_)
        wait_ms = 0;
    epoll_event ready[16];
    const int n = epoll_wait(epoll_, ready, 16, wait_ms);
    if (n < 0 && errno != EINTR)
        return false;
    for (nfds_t i = 0; i < wanted_count_; ++i) {
        pollfd &w = wanted_[i];
        bool watched = false;
        for (nfds_t j = 0; j < watched_count_ && !watched; ++j)
            watched = watched_[j].fd == w.fd;
        w.revents = watched ? short{0} : w.events;
        for (int j = 0; j < n; ++j)
            if (ready[j].data.fd == w.fd)
                w.revents = static_cast<short>(
                    ((ready[j].events & EPOLLIN) ? POLLIN : 0) |
                    ((ready[j].events & EPOLLOUT) ? POLLOUT : 0) |
                    ((ready[j].events & EPOLLPRI) ? POLLPRI : 0) |
                    ((ready[j].events & (EPOLLHUP | EPOLLERR)) ? POLLHUP : 0));
    }
    return true;
}

// Without a set: poll() is given this round's descriptors. A held job
// sleeps on the process's wake-up, which a stop from elsewhere writes
// while it sleeps; where it could not be made, it looks at the stop every
// few ms instead.
bool Run::poll_once(int wait_ms) noexcept
{
    constexpr int stop_check_ms = 10;
    if (wakeable_ && qo_run_wake::shared() < 0 &&
        (wait_ms < 0 || wait_ms > stop_check_ms))
        wait_ms = stop_check_ms;
    if (wakeable_ ? !sleeper_.lie_down(stop_wanted_)
                  : stop_wanted_.load() && !stop_asked_)
        wait_ms = 0; // a stop came, not heeded yet
    const int n = poll(wanted_, wanted_count_, wait_ms);
    const int error = errno;
    if (wakeable_)
        sleeper_.get_up();
    if (n < 0)
        for (nfds_t i = 0; i < wanted_count_; ++i)
            wanted_[i].revents = 0;
    return n >= 0 || error == EINTR;
}

// The set wakes a caller who polls it when the job next needs looking at
// for its deadline, its grace, or a check of its stages.
void Run::arm_timer() noexcept
{
    if (timer_ < 0)
        return;
    const int wait_ms = wrapped_ ? -1 : job_.wait_ms();
    itimerspec when{};
    if (wait_ms >= 0) {
        when.it_value.tv_sec = wait_ms / 1000;
        when.it_value.tv_nsec = long{wait_ms % 1000} * 1000000 + (wait_ms == 0);
    }
    timerfd_settime(timer_, 0, &when, nullptr);
}

short Run::revents(int fd, short events) const noexcept
{
    for (nfds_t i = 0; i < wanted_count_; ++i)
        if (wanted_[i].fd == fd && wanted_[i].events == events)
            return wanted_[i].revents;
    return 0;
}

// A followed file is read back from the file, past its watch's events;
// false once there is no more to read.
bool Run::take_some(Stream &s) noexcept
{
    return s.follow_fd >= 0 ? qo_run_follow::follow_some(s, site_)
                            : read_some(s, site_);
}

void Run::end_stream(Stream &s) noexcept
{
    qo_run_follow::unfollow(s);
    finish(s, site_);
}

void Run::serve_stream(Stream &s, Calling &call) noexcept
{
    const int file_error = s.tee_error; // a write to the file fails once
    if (s.fd >= 0 && revents(s.fd, POLLIN) && !take_some(s))
        end_stream(s);
    if (s.backlog() > 0 && revents(s.passes_to, POLLOUT))
        call.sigpipe.raised |= pass_some(s);
    if (s.tee_backlog() > 0)
        tee_some(s);
    if (s.tee_error != file_error) // by a read's write too
        call.sigpipe.failed_with(s.tee_error);
}

// A callback, or qo_job_stop(), asked for the end: the job ends as at a
// deadline, and no callback is called again; the slots still take what
// comes meanwhile.
void Run::heed_stop() noexcept
{
    if (stop_wanted_.load(std::memory_order_relaxed))
        stop_asked_ = true;
    if (stop_asked_ && !job_.stopped())
        job_.stop();
}

void Run::handle(Calling &call) noexcept
{
    uint64_t drained = 0;
    const int wake = wake_.load();
    if (wake >= 0 && revents(wake, POLLIN))
        (void)!read(wake, &drained, sizeof drained);
    if (timer_ >= 0 && revents(timer_, POLLIN))
        (void)!read(timer_, &drained, sizeof drained);
    each_stream([&](Stream &s) { serve_stream(s, call); });
    if (in_.fd >= 0 && revents(in_.fd, POLLOUT))
        call.sigpipe.raised |= write_some(in_, site_);
    heed_stop();
    job_.check(wanted_, wanted_count_);
    if (out_.follow_fd >= 0 && job_.exited()) {
        qo_run_follow::follow_end(out_, site_);
        end_stream(out_);
    }
    settle_group();
}

// Once, at the end: the streams' last lines handed out, what the caller's
// descriptors did not take in time dropped.
void Run::wrap_up() noexcept
{
    if (wrapped_)
        return;
    wrapped_ = true;
    each_stream([this](Stream &s) {
        end_stream(s);
        drop_backlog(s, timed_out(), site_);
    });
    close_fd(out_.tee_fd);
    // The job's descriptor goes quiet: an event loop that still watches it
    // does not spin. The pidfds leave the set as the reaping closes them.
    set_.store(-1);
    wanted_count_ = 0;
    sync_wanted(true);
    const int wake = wake_.load(); // put in by a stop meanwhile
    if (epoll_ >= 0 && wake >= 0)
        epoll_ctl(epoll_, EPOLL_CTL_DEL, wake, nullptr);
}

// The first round takes what is there without acting on the deadline: a
// job served late may have ended well before it; a job without one waits
// at once. A wait that fails for another reason than a signal ends the
// serving, as the end would.
bool Run::serve(int timeout_ms, Calling &call) noexcept
{
    int64_t limit = -1; // no limit
    if (timeout_ms >= 0)
        limit = now_us() + int64_t{timeout_ms} * 1000;
    bool failed = false;
    bool reaping = false;
    for (bool first = true; !wrapped_ && !done() && !failed && !reaping;
         first = false) {
        if ((reaping = only_reaping_left(limit)))
            break;
        int wait_ms = 0;
        if (!first || !job_.timing()) {
            wait_ms = job_.wait_ms(); // acts on the deadline
            if (timed_out())
                each_stream(cut_off); // no reader holds the run past it
            if (done())
                break; // its last step may end the job
            if (limit >= 0) {
                const int64_t left_us = limit - now_us();
                if (left_us <= 0 && !first)
                    break;
                const int64_t left =
                    std::clamp<int64_t>((left_us + 999) / 1000, 0, INT_MAX);
                if (wait_ms < 0 || wait_ms > left)
                    wait_ms = static_cast<int>(left);
            }
        }
        failed = !wait_once(wait_ms);
        if (!failed)
            handle(call);
    }
    if (done() || wrapped_ || failed || reaping) {
        wrap_up();
        return true;
    }
    keep_set();
    return false;
}

// Through the job's own eventfd once its set is watched; else through the
// process's, to the thread asleep in a serving call, if one is.
void Run::stop_from_anywhere() noexcept
{
    stop_wanted_.store(true);
    const int set = set_.load();
    if (set < 0)
        sleeper_.wake();
    else
        wake_set(set);
}

int Run::push_input(const char *data, size_t size, Calling &call) noexcept
{
    if (!in_.pushed || in_.ended)
        return EINVAL;
    if (in_.fd < 0 || in_.broken)
        return EPIPE;
    in_.chunk.append(data, size, site_);
    call.sigpipe.raised |= write_some(in_, site_);
    list_wanted();
    sync_wanted();
    return in_.broken ? EPIPE : 0;
}

int Run::end_input() noexcept
{
    if (!in_.pushed || in_.ended)
        return EINVAL;
    in_.ended = true;
    if (in_.sent == in_.chunk.size()) // nothing left to write: the end now
        close_fd(in_.fd);
    list_wanted();
    sync_wanted();
    return 0;
}

void Run::reap(int statuses[], int &error) noexcept
{
    std::fill(statuses, statuses + stages_.count, -1);
    job_.reap(statuses, error, usage_);
    job_.close_pidfds();
    if (!group_.made())
        return;
    group_.end();
    // One command's usage is its group's: every process it started,
    // waited for or not.
    if (stages_.count == 1 && statuses[0] != -1)
        group_.count(usage_[0]);
    group_.remove();
}

// The size of the text a slot receives: every byte, NULs included.
size_t Run::size_in(char **slot) const noexcept
{
    if (slot && slot == out_.slot)
        return out_.text.size();
    return slot && slot == err_.slot ? err_.text.size() : 0;
}

// With on_output and output_file, output_size tells what the file took.
void Run::fill_slots() noexcept
{
    if (o_.output_size)
        *o_.output_size =
            o_.output_file && out_.lines.active() ? out_.teed : size_in(o_.output);
    if (o_.errors_size)
        *o_.errors_size = size_in(o_.errors);
    if (o_.usage)
        std::copy(usage_, usage_ + stages_.count, o_.usage);
    each_stream([this](Stream &s) {
        if (s.slot)
            *s.slot = s.text.release(site_);
    });
    for (char **slot : unused_)
        if (slot)
            *slot = Buffer().release(site_);
    // errors_fd took every stage's stderr.
    for (size_t i = 0; !stage_errs_ && o_.stage_errors && i < stages_.count; ++i)
        o_.stage_errors[i] = Buffer().release(site_);
}

} // namespace qo_run_engine
