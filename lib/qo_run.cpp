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
#include "qo_run_file_internal.h"
#include "qo_run_internal.h"
#include "qo_run_io_internal.h"
#include "qo_run_job_internal.h"
#include "qo_run_line_internal.h"
#include "qo_run_setup_internal.h"
#include "qo_run_spawn_internal.h"
#include "qo_sigpipe_internal.h"
#include "qo_str_internal.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qo_run {

[[noreturn]] void fail(const Site &site, const char *message) noexcept
{
    qo_err::fail(site, -1, message);
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

} // namespace qo_run

using namespace qo_run;       // NOLINT(google-build-using-namespace)
using namespace qo_run_file;  // NOLINT(google-build-using-namespace)
using namespace qo_run_io;    // NOLINT(google-build-using-namespace)
using namespace qo_run_job;   // NOLINT(google-build-using-namespace)
using namespace qo_run_spawn; // NOLINT(google-build-using-namespace)

// The size programs built against 1.4 allocate: later fields are carved
// out of its reserved room, or the struct grows behind new versions.
static_assert(sizeof(void *) != 8 || sizeof(qo_run_options) == 304,
              "qo_run_options keeps the size it had in 1.4");

namespace {

// ---- One run -----------------------------------------------------------

// What the run's own log entries may wait for the log: until the run's
// deadline, or 2 s each without one (0).
int64_t log_deadline(const qo_run_options &o) noexcept
{
    return o.timeout_ms > 0 ? now_us() + int64_t{o.timeout_ms} * 1000 : 0;
}

// Why a run did not start: the options themselves, a file they name, or a
// stage.
struct NotStarted {
    int error = 0;
    const char *refused = nullptr; // the whole reason, for options refused
    const char *file = nullptr;    // the file, when it was one
    const char *step = "open";     // what could not be done to it
    const char *cause = nullptr;   // instead of strerror(error)
    size_t stage = 0;              // else the stage
};

// A write to a pipe the command has closed raises SIGPIPE, whose default
// ends the caller: it is blocked in this thread during the run.
using SigpipeGuard = qo_sigpipe::Blocked;

// The stages of a run as one job: each stage's stdout feeds the next one's
// stdin through a pipe that only they hold; the run serves the first
// stage's stdin, the last one's stdout and everyone's stderr.
class Run {
  public:
    Run(const Stages &stages, const qo_run_options &o, const Site &site) noexcept;
    ~Run();
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    // 0, or the errno that kept the run from starting (the stages started
    // before are killed), with what it was in failed.
    int start(NotStarted &failed) noexcept;
    void serve() noexcept;
    // Each stage's wait status, or -1 (not started, or lost: error).
    void reap(int statuses[], int &error) noexcept;
    void fill_slots() noexcept;
    bool timed_out() const noexcept { return job_.timed_out(); }
    bool stopped() const noexcept { return job_.stopped(); }
    // 0, or the errno that kept the output from taking its file's name.
    int finish_output(bool succeeded) noexcept { return output_.finish(succeeded); }

  private:
    int open_files(NotStarted &failed) noexcept;
    int prepare_output(NotStarted &failed) noexcept;
    int open_pipes() noexcept;
    int start_stage(size_t i, int &from_previous) noexcept;
    bool poll_once() noexcept;
    short revents(int fd, short events) const noexcept;
    void serve_stream(Stream &s) noexcept;
    void heed_stop() noexcept;
    bool done() const noexcept;
    size_t size_in(char **slot) const noexcept;

    const Stages &stages_;
    const qo_run_options &o_;
    const Site &site_;
    SigpipeGuard sigpipe_;
    Environment env_;
    Job job_;
    qo_run_setup::Setup setup_;
    Output output_;
    bool stop_asked_ = false; // by a callback
    Input in_{&stop_asked_};
    Stream out_{"stdout", STDOUT_FILENO};
    Stream err_{"stderr", STDERR_FILENO};
    bool merged_; // stderr goes into the stdout pipe
    // Slots whose stream a file or a descriptor of the caller's takes.
    char **unused_[2] = {};
    // The first stage's stdin, the last one's stdout, everyone's stderr.
    int theirs_[3];
    pollfd *polled_fds_; // our pipes and their backlogs, and the pidfds
    nfds_t polled_ = 0;
};

// Polled at most: each of our three pipes, the caller's stdout and stderr
// for their backlogs, each stage's pidfd.
constexpr size_t polled_besides_stages = 5;

Run::Run(const Stages &stages, const qo_run_options &o, const Site &site) noexcept
    : stages_(stages), o_(o), site_(site),
      env_(o.env, o.flags & QO_RUN_CLEAR_ENV, site),
      job_(stages.count, {o.timeout_ms, o.stop_signal, o.grace_ms}, site,
           o.flags & QO_RUN_NEW_SESSION),
      output_(o), merged_(o.output && o.output == o.errors && !o.output_file &&
                          !(o.flags & (QO_RUN_OUTPUT_FD | QO_RUN_ERRORS_FD))),
      theirs_{-1, -1, -1},
      polled_fds_(static_cast<pollfd *>(
          allocate((stages.count + polled_besides_stages) * sizeof(pollfd), site)))
{
    // The caller's descriptors win over every other way to give a stream.
    const bool input_fd = o.flags & QO_RUN_INPUT_FD,
               output_fd = o.flags & QO_RUN_OUTPUT_FD,
               errors_fd = o.flags & QO_RUN_ERRORS_FD;
    const bool out_taken = o.output_file || output_fd;
    if (o.on_input && !input_fd) {
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
    out_.log_level = out_taken ? 0 : o.log_output;
    err_.log_level = errors_fd ? 0 : o.log_output;
    out_.log_until = err_.log_until = log_deadline(o);
}

Run::~Run()
{
    close_fd(in_.fd);
    close_fd(out_.fd);
    close_fd(err_.fd);
    for (int &fd : theirs_)
        close_fd(fd);
    free(polled_fds_);
}

// The files come first: one that cannot be opened starts nothing. The
// caller's descriptors come before them, and win over them.
int Run::open_files(NotStarted &failed) noexcept
{
    if (const int error = setup_.take_fds(o_, theirs_)) {
        failed.refused = setup_.why();
        return error;
    }
    if (o_.input_file && theirs_[0] < 0) {
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
    if (in_.rest || in_.more)
        error = open_pipe(in_.fd, theirs_[0], true);
    else if (theirs_[0] < 0)
        error = open_file(theirs_[0], "/dev/null", O_RDONLY);
    if (!error && theirs_[1] < 0 &&
        (out_.slot || out_.log_level > 0 || out_.lines.active()))
        error = open_pipe(out_.fd, theirs_[1], false);
    if (!error && !merged_ && (err_.slot || err_.log_level > 0 || err_.lines.active()))
        error = open_pipe(err_.fd, theirs_[2], false);
    return error;
}

// from_previous: the read end of the pipe the stage before writes, which
// this stage takes over; on return, the one this stage writes.
int Run::start_stage(size_t i, int &from_previous) noexcept
{
    const bool last = i + 1 == stages_.count;
    int next_reads = -1, to_next = -1;
    int error = last ? 0 : open_between(next_reads, to_next);
    pid_t pid = -1;
    if (!error) {
        const Launch l{stages_.argv[i],
                       env_.entries(),
                       o_.dir,
                       {i == 0 ? theirs_[0] : from_previous,
                        last ? theirs_[1] : to_next, merged_ ? theirs_[1] : theirs_[2]},
                       job_.group(),
                       job_.terminal(),
                       &setup_.child()};
        error = launch(l, pid);
    }
    close_fd(from_previous);
    close_fd(to_next);
    from_previous = next_reads;
    if (!error)
        job_.add(pid);
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
    // What the command writes to the log's file comes after; a stuck log
    // costs the run no more than its deadline.
    qo_log::flush(log_deadline(o_));
    int error = open_files(failed);
    if (!error)
        error = open_pipes();
    int between = -1;
    for (size_t &i = failed.stage; !error && i < stages_.count; ++i)
        if ((i + 1 == stages_.count && (error = prepare_output(failed))) ||
            (error = start_stage(i, between)))
            break;
    close_fd(between);
    for (int &fd : theirs_)
        close_fd(fd);
    if (error) {
        job_.abandon();
        output_.abandon();
    }
    return failed.error = error;
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
    if (in_.fd >= 0 && !stop_asked_)
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

// A callback asked for the end: the job ends as at a deadline, and no
// callback is called again; the slots still take what comes meanwhile.
void Run::heed_stop() noexcept
{
    if (stop_asked_ && !job_.stopped())
        job_.stop();
}

void Run::serve() noexcept
{
    while (!done() && poll_once()) {
        serve_stream(out_);
        serve_stream(err_);
        if (in_.fd >= 0 && revents(in_.fd, POLLOUT))
            sigpipe_.raised |= write_some(in_, site_);
        heed_stop();
        job_.check(polled_fds_, polled_);
    }
    finish(out_, site_);
    finish(err_, site_);
    drop_backlog(out_, timed_out(), site_);
    drop_backlog(err_, timed_out(), site_);
}

void Run::reap(int statuses[], int &error) noexcept
{
    std::fill(statuses, statuses + stages_.count, -1);
    job_.reap(statuses, error);
}

// The size of the text a slot receives: every byte, NULs included.
size_t Run::size_in(char **slot) const noexcept
{
    if (slot && slot == out_.slot)
        return out_.text.size();
    return slot && slot == err_.slot ? err_.text.size() : 0;
}

void Run::fill_slots() noexcept
{
    if (o_.output_size)
        *o_.output_size = size_in(o_.output);
    if (o_.errors_size)
        *o_.errors_size = size_in(o_.errors);
    for (Stream *s : {&out_, &err_})
        if (s->slot)
            *s->slot = s->text.release(site_);
    for (char **slot : unused_)
        if (slot)
            *slot = Buffer().release(site_);
}

// ---- Reporting ---------------------------------------------------------

// "Unable to run gzip (stage 2 of 2): No such file or directory": a stage
// of a pipeline is named with its place in it.
char *not_run(const Stages &stages, size_t stage, const char *dir, const char *what,
              int error) noexcept
{
    char *name = qo_str::shell_word(stages.argv[stage][0], true);
    char *place = nullptr;
    if (stages.count > 1)
        qo_asprintf(&place, " (stage %zu of %zu)", stage + 1, stages.count);
    char *reason = nullptr;
    qo_asprintf(&reason, "Unable to %s %s%s%s%s: %s", what, name, place ? place : "",
                dir ? " in " : "", dir ? dir : "", strerror(error));
    free(place);
    free(name);
    return reason;
}

char *not_done_to_file(const char *step, const char *file, const char *cause,
                       int error) noexcept
{
    char *reason = nullptr;
    qo_asprintf(&reason, "Unable to %s %s: %s", step, file,
                cause ? cause : strerror(error));
    return reason;
}

// The reason a run gives when it could not start, its status was lost or
// its output could not take its file's name: logged, and kept for the why
// slot.
char *log_reason(char *reason, int64_t until, const Site &site) noexcept
{
    qo_log::entry_until(until, 4, site, "%s", reason);
    return reason;
}

// The slot receives the reason, or "" for a run that went as it should.
void give_why(char **why, char *reason, const Site &site) noexcept
{
    if (!why) {
        free(reason);
        return;
    }
    if (!reason) {
        reason = static_cast<char *>(allocate(1, site));
        reason[0] = '\0';
    }
    *why = reason;
}

// "name: outcome" for each stage, joined as the stages are.
char *outcomes(const Stages &stages, const int statuses[], const Site &site) noexcept
{
    char *text = nullptr;
    for (size_t i = 0; i < stages.count; ++i) {
        char *name = qo_str::shell_word(stages.argv[i][0], true);
        char *outcome = qo_status_text(statuses[i]);
        qo_strcat_int(&text, site.line, site.file, "%s%s: %s", i ? " | " : "", name,
                      outcome);
        free(outcome);
        free(name);
    }
    return text;
}

// How the run was cut short, if it was: "timed out after 1500 ms",
// "stopped by a callback".
char *cut_short(const Run &job, int timeout_ms, const Site &site) noexcept
{
    char *cut = nullptr;
    if (job.timed_out())
        (qo_asprintf)(&cut, site.line, site.file, "timed out after %d ms", timeout_ms);
    else if (job.stopped())
        (qo_asprintf)(&cut, site.line, site.file, "stopped by a callback");
    return cut;
}

// One command reads "sleep: timed out after 1500 ms, killed by signal 15
// (Terminated) (1500 ms)"; a pipeline puts the cut after its stages.
void log_outcome(const Stages &stages, const int statuses[], const char *cut,
                 int64_t took, int64_t until, const Site &site) noexcept
{
    const long long ms = took;
    if (cut && stages.count == 1) {
        char *name = qo_str::shell_word(stages.argv[0][0], true);
        char *outcome = qo_status_text(statuses[0]);
        qo_log::entry_until(until, 5, site, "%s: %s, %s (%lld ms)", name, cut, outcome,
                            ms);
        free(outcome);
        free(name);
        return;
    }
    char *text = outcomes(stages, statuses, site);
    if (cut)
        qo_log::entry_until(until, 5, site, "%s; %s (%lld ms)", text, cut, ms);
    else
        qo_log::entry_until(until, 5, site, "%s (%lld ms)", text, ms);
    free(text);
}

// A slot that still holds a string gets it released, as qo_getline() does.
void empty_slot(char **slot, int64_t until, const Site &site) noexcept
{
    if (!slot || !*slot)
        return;
    qo_log::entry_until(until, 1, site, "%s found a non freed variable here",
                        site.routine);
    free(*slot);
    *slot = nullptr;
}

char *start_failure(const Stages &stages, const qo_run_options &o,
                    const NotStarted &failed) noexcept
{
    char *reason = nullptr;
    if (failed.refused)
        qo_asprintf(&reason, "%s", failed.refused);
    else if (failed.file)
        reason = not_done_to_file(failed.step, failed.file, failed.cause, failed.error);
    else
        reason = not_run(stages, failed.stage, o.dir, "run", failed.error);
    return reason;
}

size_t lost_stage(const Stages &stages, const int statuses[]) noexcept
{
    size_t i = 0;
    while (i + 1 < stages.count && statuses[i] != -1)
        ++i;
    return i;
}

// on_input, when set, is the input; output_file, when set, takes stdout
// from output and on_output alike.
qo_run_options effective(const qo_run_options &options) noexcept
{
    qo_run_options o = options;
    if (o.on_input)
        o.input = o.input_file = nullptr;
    if (o.output_file)
        o.on_output = nullptr;
    return o;
}

} // namespace

Outcome qo_run::run_stages(const Stages &stages, const qo_run_options &options,
                           int statuses[], const Site &site) noexcept
{
    const qo_run_options o = effective(options);
    const int64_t until = log_deadline(o);
    empty_slot(o.output, until, site);
    empty_slot(o.errors, until, site);
    empty_slot(o.why, until, site);
    char *line = qo_run_line::command_line(stages, o, site);
    qo_log::entry_until(until, 5, site, "%s", line);
    free(line);
    const int64_t started = now_ms();
    const auto not_done = [&](char *reason, int error) {
        give_why(o.why, log_reason(reason, until, site), site);
        return Outcome{-1, error};
    };
    Run job(stages, o, site);
    NotStarted failed;
    if (job.start(failed)) {
        int ignored = 0;
        job.reap(statuses, ignored);
        job.fill_slots();
        return not_done(start_failure(stages, o, failed), failed.error);
    }
    int error = 0;
    job.serve();
    job.reap(statuses, error);
    job.fill_slots();
    if (error) {
        job.finish_output(false);
        return not_done(
            not_run(stages, lost_stage(stages, statuses), nullptr, "wait for", error),
            error);
    }
    char *cut = cut_short(job, o.timeout_ms, site);
    log_outcome(stages, statuses, cut, now_ms() - started, until, site);
    free(cut);
    // A run cut short is no success, whatever its status.
    const bool succeeded = !job.timed_out() && !job.stopped() &&
                           pipeline_status(statuses, stages.count) == 0;
    if ((error = job.finish_output(succeeded)))
        return not_done(not_done_to_file("replace", o.output_file, nullptr, error),
                        error);
    give_why(o.why, nullptr, site);
    return {0, job.timed_out() ? ETIMEDOUT : job.stopped() ? ECANCELED : 0};
}

Outcome qo_run::run(const char *const argv[], const qo_run_options &o,
                    const Site &site) noexcept
{
    const Stages one{&argv, 1};
    int status = -1;
    const Outcome outcome = run_stages(one, o, &status, site);
    return {outcome.status == -1 ? -1 : status, outcome.error};
}

extern "C" int qo_run_int(const char *const argv[], const qo_run_options *options,
                          int line, const char *file) noexcept
{
    const Site site{line, file, "qo_run_int"};
    qo_err::require(argv, site, "qo_run: NULL argv");
    if (!argv[0])
        fail(site, "qo_run: empty argv");
    const qo_run_options defaults{};
    const Outcome outcome = qo_run::run(argv, options ? *options : defaults, site);
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
