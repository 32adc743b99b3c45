// The engine of every run: the stages of a job started, their pipes and
// their exit watched through one epoll set, whose descriptor a caller
// holding the job may poll. qo_run() and qo_pipeline() drive it to the end
// at once; a held job (qo_start()) is driven by the caller's own calls.
// Internal to the library.
#pragma once

#include "run/process/qo_run_cgroup_internal.h"
#include "run/streams/qo_run_file_internal.h"
#include "run/qo_run_internal.h"
#include "run/streams/qo_run_io_internal.h"
#include "run/process/qo_run_job_internal.h"
#include "run/process/qo_run_setup_internal.h"
#include "run/process/qo_run_spawn_internal.h"
#include "run/process/qo_run_wake_internal.h"
#include "base/qo_sigpipe_internal.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <poll.h>

namespace qo_run_engine {

using qo_run::Site;
using qo_run::Stages;

// Why a run did not start: the options themselves, a file they name, or a
// stage.
struct NotStarted {
    int error = 0;
    const char *refused = nullptr; // the whole reason, for options refused
    const char *file = nullptr;    // the file, when it was one
    const char *step = "open";     // what could not be done to it
    const char *cause = nullptr;   // instead of strerror(error)
    size_t missing_folder = 0;     // or the length of its folder, not there
    size_t stage = 0;              // else the stage
};

// What a thread needs while it acts on a job: SIGCHLD (and at a terminal
// SIGTTOU) blocked, and SIGPIPE, so that a command that stops reading
// cannot kill the caller, and SIGXFSZ, for the file the run writes itself.
// All of them in one change of the mask, undone once at the end.
struct Calling {
    explicit Calling(bool at_terminal) noexcept
        : signals(at_terminal, true), sigpipe(signals.before(), true, true)
    {
    }
    qo_run_job::RunSignals signals;
    qo_sigpipe::Blocked sigpipe;
};

// The stages of a run as one job: each stage's stdout feeds the next one's
// stdin through a pipe that only they hold; the run serves the first
// stage's stdin, the last one's stdout and everyone's stderr.
class Run {
  public:
    // What a stage's own stderr callback is given: on_stage_errors with
    // the stage's index.
    struct StageLines {
        const qo_run_options *o;
        size_t stage;
    };

    // The options are copied. The run's one deadline, which its log
    // entries share, counts from began (us, monotonic): the start of the
    // call that started it.
    Run(const Stages &stages, const qo_run_options &o, int64_t began,
        const Site &site) noexcept;
    int64_t until() const noexcept { return until_; }
    ~Run();
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    bool at_terminal() const noexcept { return job_.at_terminal(); }
    // 0, or the errno that kept the run from starting (the stages started
    // before are killed), with what it was in failed. The stages' argv are
    // not used after it.
    int start(NotStarted &failed) noexcept;
    // Serves for up to timeout_ms (-1: until the end); true once the job
    // has ended and its output is all in (the streams are then closed).
    bool serve(int timeout_ms, Calling &call) noexcept;
    // Each stage's wait status, or -1 (not started, or lost: error), and
    // what it used; a contained run's group is removed.
    void reap(int statuses[], int &error) noexcept;
    const qo_run_usage &usage(size_t stage) const noexcept { return usage_[stage]; }
    void fill_slots() noexcept;
    bool timed_out() const noexcept { return job_.timed_out(); }
    bool stopped() const noexcept { return job_.stopped(); }
    bool stopped_from_outside() const noexcept { return stop_wanted_.load(); }
    // 0, or the errno that kept the output from taking its file's name.
    int finish_output(bool succeeded) noexcept { return output_.finish(succeeded); }
    // 0, or the errno of a write to output_file that failed (on_output
    // with output_file, where the run writes the file).
    int output_error() const noexcept { return out_.tee_error; }

    // The set a caller polls, made at the first call (a caller that only
    // waits never needs one): -1 with errno when it cannot be made.
    int fd() noexcept;
    // A caller holds the job: a stop may come from another thread or a
    // handler while this one serves, and the job borrows no foreground.
    void hold() noexcept
    {
        held_ = true;
        job_.hold();
    }
    pid_t pid(size_t stage) const noexcept { return job_.pid(stage); }
    size_t started() const noexcept { return job_.size(); }
    int signal(int sig) noexcept { return job_.signal(sig); }
    // Any thread, or a signal handler: the serving thread stops the job.
    void stop_from_anywhere() noexcept;
    // The caller's input (QO_RUN_INPUT_PIPE): 0, or the errno.
    int push_input(const char *data, size_t size, Calling &call) noexcept;
    int end_input() noexcept;

  private:
    int open_files(NotStarted &failed) noexcept;
    int prepare_output(NotStarted &failed) noexcept;
    int open_pipes() noexcept;
    int open_set() noexcept;
    void keep_set() noexcept;
    bool poll_once(int wait_ms) noexcept;
    int start_stage(size_t i, int &from_previous) noexcept;
    void want(int fd, short events) noexcept;
    void list_wanted() noexcept;
    // pidfds_closing: the pidfds stay in the set, which their closing
    // takes them out of.
    void sync_wanted(bool pidfds_closing = false) noexcept;
    void wake_set(int set) noexcept;
    bool still_held(int fd) const noexcept;
    bool wait_once(int wait_ms) noexcept;
    void arm_timer() noexcept;
    short revents(int fd, short events) const noexcept;
    void handle(Calling &call) noexcept;
    bool take_some(qo_run_io::Stream &s) noexcept;
    void end_stream(qo_run_io::Stream &s) noexcept;
    void serve_stream(qo_run_io::Stream &s, Calling &call) noexcept;
    void heed_stop() noexcept;
    void settle_group() noexcept;
    bool commands_over() const noexcept;
    bool done() const noexcept;
    bool output_in() const noexcept;
    bool only_reaping_left(int64_t limit) noexcept;
    // f(stream) for each output stream: stdout, the shared stderr, and each
    // stage's own stderr when they are apart.
    template <typename F> void each_stream(F f) noexcept
    {
        f(out_);
        f(err_);
        for (size_t i = 0; stage_errs_ && i < stages_.count; ++i)
            f(stage_errs_[i]);
    }
    template <typename F> void each_stream(F f) const noexcept
    {
        const_cast<Run *>(this)->each_stream([&](const qo_run_io::Stream &s) { f(s); });
    }
    void apart_stage_errors() noexcept;
    void wrap_up() noexcept;
    size_t size_in(char **slot) const noexcept;

    Stages stages_;
    const qo_run_options o_;
    const Site site_;
    const int64_t until_;
    qo_run_spawn::Environment env_;
    qo_run_job::Job job_;
    qo_run_setup::Setup setup_;
    qo_run_file::Output output_;
    qo_run_cgroup::Group group_; // QO_RUN_CGROUP
    bool group_empty_ = false;
    bool stop_asked_ = false;              // by a callback
    std::atomic<bool> stop_wanted_{false}; // by qo_job_stop()
    qo_run_io::Input in_{&stop_asked_};
    qo_run_io::Stream out_{"stdout", STDOUT_FILENO};
    qo_run_io::Stream err_{"stderr", STDERR_FILENO};
    bool merged_;             // stderr goes into the stdout pipe
    bool wrapped_ = false;    // the streams are closed, the backlog dropped
    bool null_input_ = false; // the first stage reads /dev/null
    // Slots whose stream a file or a descriptor of the caller's takes.
    char **unused_[2] = {};
    // The first stage's stdin, the last one's stdout, everyone's stderr.
    int theirs_[3];
    qo_run_io::Stream *stage_errs_ = nullptr;
    // Each stage's stderr apart (on_stage_errors, stage_errors, or a
    // pipeline's lines logged with their stage): a stream and the pipe end
    // the stage writes, for each stage; else NULL.
    int *stage_theirs_ = nullptr;
    StageLines *stage_lines_ = nullptr;
    char **stage_names_ = nullptr;
    // The set epoll watches: what poll would be given, kept in step.
    // The set, its wake-up and its timer: made only for a caller who polls
    // the set, the wake-up at the first stop from elsewhere, the timer only
    // while a deadline or a grace runs.
    int epoll_ = -1, timer_ = -1;
    std::atomic<int> wake_{-1}, set_{-1}; // set_: epoll_, for a stop from elsewhere
    bool held_ = false;
    bool wakeable_ = false;        // this round's sleep, by the process's wake-up
    qo_run_wake::Sleeper sleeper_; // without wake_, for a stop from elsewhere
    pollfd *wanted_; // this round's descriptors; revents filled by the wait
    nfds_t wanted_count_ = 0;
    pollfd *watched_; // what epoll holds now
    nfds_t watched_count_ = 0;
    bool always_ready_ = false; // a wanted descriptor epoll cannot watch
    qo_run_usage *usage_;       // each stage's, once reaped
};

} // namespace qo_run_engine
