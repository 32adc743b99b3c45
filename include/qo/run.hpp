// Part of qo.hpp, installed with it: include <qo.hpp>, not this file,
// whose content may change in any release.
//
// Commands and pipelines run (qo::run, qo::pipeline) and held (qo::job,
// qo::start, qo::pipeline_start).
#ifndef QO_RUN_HPP
#define QO_RUN_HPP

#include "options.hpp"
#include "run_detail.hpp"

namespace qo {

class job_set;

// qo_run(): argv[0], searched in PATH when it has no slash, with the
// arguments, without a shell; every guarantee of the C call holds. The
// run's log entries name the caller's file and line.
inline run_result run(std::initializer_list<std::string_view> argv,
                      const run_options &options = {},
                      call_site where = call_site::current())
{
    const detail::c_argv words(argv, "qo::run", where);
    return detail::run(words.get(), options, where);
}

inline run_result run(const std::vector<std::string> &argv,
                      const run_options &options = {},
                      call_site where = call_site::current())
{
    return detail::run(detail::c_words(argv, "qo::run", where).data(), options, where);
}

// A NULL-terminated argv as C has it: qo::run(argv + 1) in main.
inline run_result run(const char *const *argv, const run_options &options = {},
                      call_site where = call_site::current())
{
    return detail::run(argv, options, where);
}

// qo_pipeline(): each stage's stdout feeds the next stage's stdin, in one
// job with one deadline; input and input_file feed the first stage,
// output and output_file take the last one's stdout, errors every stage's
// stderr. status follows bash's pipefail (a stage killed by SIGPIPE after
// the stages behind it ended well does not count); statuses has each
// stage's own.
inline run_result pipeline(const std::vector<std::vector<std::string>> &stages,
                           const run_options &options = {},
                           call_site where = call_site::current())
{
    const detail::c_stages c_stages(stages, "qo::pipeline", where);
    std::vector<int> statuses(stages.size(), -1);
    run_result result = detail::run_with(
        options, "qo::pipeline", where,
        [&](const qo_run_options *c) {
            return qo_pipeline_at(c_stages.get(), c, statuses.data(), where.line,
                                  where.file, where.function);
        },
        stages.size());
    result.statuses = std::move(statuses);
    return result;
}

// A command the caller holds (qo_start()): it runs while the caller goes
// on, and is served (bytes moved, callbacks called, the deadline acted on)
// in the caller's calls to serve() and wait(), in the thread that makes
// them. One thread at a time uses a job, but for stop(), which any thread
// or a signal handler may call.
//
// Move-only. Its end frees it (qo_job_free()): a command still running is
// stopped and reaped, its callbacks not called again (what they refer to
// may be gone by then) and what one threw dropped.
//
// A job that could not start holds no command: it reads false and
// failed() true, pid() and fd() give -1, serve() true, and wait() at once
// status -1 with error and why, as qo::run gives them. A job moved from,
// or made empty, the same but failed() false, its error EINVAL.
class job {
  public:
    job() noexcept = default;
    // Made by qo::start() and qo::pipeline_start().
    explicit job(std::unique_ptr<detail::held_job> held) noexcept
        : held_(std::move(held))
    {
    }
    job(job &&) noexcept = default;
    job &operator=(job &&) noexcept = default; // frees the job held until then

    // A command was started and is held (it may have ended since).
    explicit operator bool() const noexcept { return c() != nullptr; }
    // No command was started: wait() gives at once the run_result that
    // says why. A job moved from, or made empty, holds no such result.
    bool failed() const noexcept { return held_ && !held_->get(); }

    // The process id of a stage (0: the first, or qo::start()'s command);
    // -1 when there is no such stage.
    pid_t pid(std::size_t stage = 0) const noexcept { return qo_job_pid(c(), stage); }

    // Readable whenever the job needs serving (bytes to move, a stage
    // ended, its deadline or grace reached, a stop asked): poll it, or
    // hand it to an event loop, and call serve(). Never read nor close it.
    int fd() const noexcept { return qo_job_fd(c()); }

    // Moves what can move, calls the callbacks, acts on the deadline,
    // waiting up to timeout for something to do (0: never blocks; less:
    // until the end). True once the job has ended and its output is all in.
    bool
    serve(std::chrono::milliseconds timeout = std::chrono::milliseconds(0)) noexcept
    {
        return !c() || qo_job_serve(c(), detail::wait_ms(timeout)) == 1;
    }

    // Serves the job to its end: the result, as qo::run gives it (statuses:
    // each stage's, from qo::pipeline_start()), and the same again on a
    // later call; errno as after qo::run. What a callback threw comes out
    // here, the command having ended, and on every later call.
    run_result wait()
    {
        for (;;)
            if (std::optional<run_result> ended = wait_for(-1))
                return std::move(*ended);
    }
    // The same, or nothing when timeout has passed with the job still
    // running: waiting again goes on where this left, nothing lost.
    std::optional<run_result> wait(std::chrono::milliseconds timeout)
    {
        return wait_for(detail::wait_ms(timeout));
    }

    // Bytes for the command's stdin (input_pipe), copied and written as the
    // pipe takes them: the caller never waits. The error, empty on success
    // (errno tells the same): std::errc::broken_pipe once the command has
    // closed its stdin or ended, never a SIGPIPE;
    // std::errc::invalid_argument without input_pipe or after
    // close_input(). An EPIPE is part of talking to a command: it comes
    // back, never thrown.
    std::error_code write(std::string_view data) noexcept
    {
        if (!c())
            return std::error_code(EPIPE, std::generic_category());
        return outcome(qo_job_write(c(), data.data(), data.size()));
    }
    // The end of the input: the pipe closes once what was written is in.
    std::error_code close_input() noexcept
    {
        return c() ? outcome(qo_job_close_input(c())) : std::error_code();
    }

    // sig to every stage and what it started; the job goes on (SIGHUP,
    // SIGUSR1: reload). std::errc::invalid_argument for a bad signal,
    // std::errc::no_such_process once the job has ended.
    std::error_code signal(int sig) noexcept
    {
        if (!c())
            return std::error_code(ESRCH, std::generic_category());
        return outcome(qo_job_signal(c(), sig));
    }

    // The stop sequence: stop_signal, SIGCONT, SIGKILL after the grace; the
    // result reads stopped (ECANCELED). From any thread, or a signal
    // handler, while another thread serves or waits, which it wakes at
    // once. Nothing once the job has ended.
    void stop() noexcept { qo_job_stop(c()); }

  private:
    friend class job_set; // hands the C job to the C set
    qo_job *c() const noexcept { return held_ ? held_->get() : nullptr; }

    static std::error_code outcome(int done) noexcept
    {
        return done == 0 ? std::error_code()
                         : std::error_code(errno, std::generic_category());
    }

    std::optional<run_result> wait_for(int timeout_ms)
    {
        if (!held_)
            return detail::held_job::none();
        return held_->wait(timeout_ms);
    }

    std::unique_ptr<detail::held_job> held_;
};

// qo_start(): what qo::run runs, started and handed over as a job; every
// option holds, the deadline counted from now. The options are copied into
// the job: what the callables capture by reference must outlive it, or
// its wait(). Its log entries name the caller's file and line.
inline job start(std::initializer_list<std::string_view> argv, run_options options = {},
                 call_site where = call_site::current())
{
    const detail::c_argv words(argv, "qo::start", where);
    return job(detail::start(words.get(), std::move(options), where));
}

inline job start(const std::vector<std::string> &argv, run_options options = {},
                 call_site where = call_site::current())
{
    return job(detail::start(detail::c_words(argv, "qo::start", where).data(),
                             std::move(options), where));
}

inline job start(const char *const *argv, run_options options = {},
                 call_site where = call_site::current())
{
    return job(detail::start(argv, std::move(options), where));
}

// qo_pipeline_start(): qo::pipeline's stages, started and held; wait()
// gives each stage's status in statuses.
inline job pipeline_start(const std::vector<std::vector<std::string>> &stages,
                          run_options options = {},
                          call_site where = call_site::current())
{
    const detail::c_stages c_stages(stages, "qo::pipeline_start", where);
    return job(detail::held_job::start(std::move(options), "qo::pipeline_start", where,
                                       stages.size(), [&](const qo_run_options *c) {
                                           return qo_pipeline_start_at(
                                               c_stages.get(), c, where.line,
                                               where.file, where.function);
                                       }));
}

} // namespace qo

#endif // QO_RUN_HPP
