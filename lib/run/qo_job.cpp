// The command a caller holds, and the runs that are one: qo_start() and
// qo_pipeline_start() start the engine's job and hand it over; qo_run()
// and qo_pipeline() start it, wait for its end and free it. The outcome,
// its log entries and the reason of a failure are made here, once.
#include "qo.h"
#include "log/qo_log_internal.h"
#include "run/qo_run_engine_internal.h"
#include "run/qo_job_internal.h"
#include "run/qo_run_internal.h"
#include "run/qo_run_line_internal.h"
#include "run/qo_run_usage_internal.h"
#include "str/qo_str_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <sys/wait.h>

using qo_run::allocate;
using qo_run::now_ms;
using qo_run::now_us;
using qo_run::Site;
using qo_run::Stages;
using qo_run_engine::Calling;
using qo_run_engine::NotStarted;
using qo_run_engine::Run;

namespace {

// The stages' program names as a shell shows them, for the reports made
// once the argv they came from may be gone.
struct Names {
    char **name;
    size_t count;
};

Names names_of(const Stages &stages, const Site &site) noexcept
{
    Names n{static_cast<char **>(allocate(stages.count * sizeof(char *), site)),
            stages.count};
    for (size_t i = 0; i < stages.count; ++i)
        n.name[i] = qo_str::shell_word(stages.argv[i][0], true);
    return n;
}

void free_names(Names &n) noexcept
{
    for (size_t i = 0; i < n.count; ++i)
        free(n.name[i]);
    free(n.name);
}

// "Unable to run gzip (stage 2 of 2): No such file or directory": a stage
// of a pipeline is named with its place in it.
char *not_run(const Names &names, size_t stage, const char *dir, const char *what,
              int error) noexcept
{
    char *place = nullptr;
    if (names.count > 1)
        qo_asprintf(&place, " (stage %zu of %zu)", stage + 1, names.count);
    char *reason = nullptr;
    qo_asprintf(&reason, "Unable to %s %s%s%s%s: %s", what, names.name[stage],
                place ? place : "", dir ? " in " : "", dir ? dir : "", strerror(error));
    free(place);
    return reason;
}

// "Unable to open out/f.txt: no folder out" when the folder is not there.
char *not_done_to_file(const char *step, const char *file, const char *cause, int error,
                       size_t missing_folder = 0) noexcept
{
    char *reason = nullptr;
    if (missing_folder)
        qo_asprintf(&reason, "Unable to %s %s: no folder %.*s", step, file,
                    static_cast<int>(missing_folder), file);
    else
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

// A slot that still holds a string gets it released, as qo_getline() does.
void empty_slot(char **slot, int64_t until, const Site &site,
                const char *front) noexcept
{
    if (!slot || !*slot)
        return;
    qo_log::entry_until(until, 1, site, "%s found a non freed variable here", front);
    free(*slot);
    *slot = nullptr;
}

char *start_failure(const Names &names, const qo_run_options &o,
                    const NotStarted &failed) noexcept
{
    char *reason = nullptr;
    if (failed.refused)
        qo_asprintf(&reason, "%s", failed.refused);
    else if (failed.file)
        reason = not_done_to_file(failed.step, failed.file, failed.cause, failed.error,
                                  failed.missing_folder);
    else
        reason = not_run(names, failed.stage, o.dir, "run", failed.error);
    return reason;
}

// on_input, when set, is the input; the caller's pipe wins over it.
// output_file, when set, takes stdout from output; on_output then sees
// what the file is written.
qo_run_options effective(const qo_run_options &options) noexcept
{
    qo_run_options o = options;
    if (o.on_input || (o.flags & QO_RUN_INPUT_PIPE))
        o.input = o.input_file = nullptr;
    if (o.flags & QO_RUN_INPUT_PIPE)
        o.on_input = nullptr;
    return o;
}

// " # pid 4242", " # pids 4242 4243": what pairs a run's entries with each
// other among those of runs in parallel, and keeps the line a shell reads.
// A run's entries are of level 5: nothing of them is formatted for a log
// that would drop them (a fleet of short jobs pays for every allocation).
bool logs_runs() noexcept
{
    return __atomic_load_n(&qo_log_level, __ATOMIC_RELAXED) >= 5;
}

char *pids_of(const Run &run, const Site &site) noexcept
{
    char *text = nullptr;
    (qo_asprintf)(&text, site.line, site.file, " # pid%s",
                  run.started() > 1 ? "s" : "");
    for (size_t i = 0; i < run.started(); ++i)
        qo_strcat_int(&text, site.line, site.file, " %d", static_cast<int>(run.pid(i)));
    return text;
}

} // namespace

// A held job: the engine, and once it has ended, what its waits return.
struct qo_job {
    qo_job(const Stages &stages, const qo_run_options &o, int64_t began,
           const Site &site) noexcept
        : run(stages, o, began, site), options(o), site(site),
          names(names_of(stages, site)), began_ms(began / 1000),
          statuses(static_cast<int *>(allocate(stages.count * sizeof(int), site)))
    {
        std::fill(statuses, statuses + stages.count, -1);
    }
    ~qo_job()
    {
        free(statuses);
        free(pids);
        free(reason);
        free_names(names);
    }
    qo_job(const qo_job &) = delete;
    qo_job &operator=(const qo_job &) = delete;

    Run run;
    const qo_run_options options;
    const Site site;
    Names names;
    int64_t began_ms;
    char *pids = nullptr;
    int *statuses;
    bool ended = false;
    int status = -1, error = 0;
    char *reason = nullptr; // why it failed, kept for qo_job_describe()
    int64_t took_ms = -1;   // from its start to its end
    qo_job_member::Membership member;
};

namespace {

void free_job(qo_job *job) noexcept
{
    job->~qo_job();
    free(job);
}

// "name: outcome" for each of the first count stages, joined as the
// stages are.
char *outcomes(const qo_job &job, size_t count) noexcept
{
    char *text = nullptr;
    for (size_t i = 0; i < count; ++i) {
        char *outcome = qo_status_text(job.statuses[i]);
        qo_strcat_int(&text, job.site.line, job.site.file, "%s%s: %s", i ? " | " : "",
                      job.names.name[i], outcome);
        free(outcome);
    }
    return text;
}

// How the run was cut short, if it was: "timed out after 1500 ms",
// "stopped by a callback", "stopped by the caller" (qo_job_stop()).
const char *cut_short(const qo_job &job) noexcept
{
    if (job.run.timed_out())
        return "timed out after";
    if (job.run.stopped())
        return job.run.stopped_from_outside() ? "stopped by the caller"
                                              : "stopped by a callback";
    return nullptr;
}

// One command reads "sleep: timed out after 1500 ms, killed by signal 15
// (Terminated) (1500 ms, 0 ms CPU, 1.6 MiB) # pid 4242"; a pipeline puts
// the cut after its stages.
void log_outcome(const qo_job &job, int64_t took) noexcept
{
    if (!logs_runs())
        return;
    const long long ms = took;
    const Site &site = job.site;
    const char *cut = cut_short(job);
    char *how = nullptr;
    if (cut && job.run.timed_out())
        (qo_asprintf)(&how, site.line, site.file, "%s %d ms", cut,
                      job.options.timeout_ms);
    else if (cut)
        (qo_asprintf)(&how, site.line, site.file, "%s", cut);
    // The log may have been opened since the start.
    char *late_pids = job.pids ? nullptr : pids_of(job.run, site);
    const char *pids = job.pids ? job.pids : late_pids;
    char *used = qo_run_used::told(&job.run.usage(0), job.names.count, site);
    if (how && job.names.count == 1) {
        char *outcome = qo_status_text(job.statuses[0]);
        qo_log::entry_until(job.run.until(), 5, site, "%s: %s, %s (%lld ms%s)%s",
                            job.names.name[0], how, outcome, ms, used, pids);
        free(outcome);
    } else {
        char *text = outcomes(job, job.names.count);
        if (how)
            qo_log::entry_until(job.run.until(), 5, site, "%s; %s (%lld ms%s)%s", text,
                                how, ms, used, pids);
        else
            qo_log::entry_until(job.run.until(), 5, site, "%s (%lld ms%s)%s", text, ms,
                                used, pids);
        free(text);
    }
    free(used);
    free(how);
    free(late_pids);
}

size_t lost_stage(const qo_job &job) noexcept
{
    size_t i = 0;
    while (i + 1 < job.names.count && job.statuses[i] != -1)
        ++i;
    return i;
}

void not_done(qo_job &job, char *reason, int error) noexcept
{
    log_reason(reason, job.run.until(), job.site);
    job.reason = static_cast<char *>(allocate(strlen(reason) + 1, job.site));
    strcpy(job.reason, reason);
    give_why(job.options.why, reason, job.site);
    job.status = -1;
    job.error = error;
}

int status_of(const qo_job &job) noexcept
{
    return qo_run::returned_status(job.statuses, job.names.count, cut_short(job),
                                   job.options.stop_signal);
}

// Once, when the job has ended: reaped, slots filled, the outcome logged,
// the output file's fate decided.
void end(qo_job &job) noexcept
{
    job.ended = true;
    job.took_ms = now_ms() - job.began_ms;
    int error = 0;
    job.run.reap(job.statuses, error);
    job.run.fill_slots();
    if (error) {
        job.run.finish_output(false);
        not_done(job, not_run(job.names, lost_stage(job), nullptr, "wait for", error),
                 error);
        return;
    }
    log_outcome(job, job.took_ms);
    if ((error = job.run.output_error())) {
        job.run.finish_output(false);
        not_done(job,
                 not_done_to_file("write", job.options.output_file, nullptr, error),
                 error);
        return;
    }
    const bool succeeded = !cut_short(job) && status_of(job) == 0;
    if ((error = job.run.finish_output(succeeded))) {
        not_done(job,
                 not_done_to_file("replace", job.options.output_file, nullptr, error),
                 error);
        return;
    }
    give_why(job.options.why, nullptr, job.site);
    job.status = status_of(job);
    job.error = job.run.timed_out() ? ETIMEDOUT : job.run.stopped() ? ECANCELED : 0;
}

// A pipeline that could not start all its stages tells how the ones it had
// started ended: "...; stages already started: tar: killed by signal 9
// (Killed) | gzip: exited with status 0".
char *with_started(char *reason, const qo_job &job) noexcept
{
    const size_t started = job.run.started();
    if (started == 0)
        return reason;
    char *text = outcomes(job, started);
    qo_strcat_int(&reason, job.site.line, job.site.file,
                  "; stage%s already started: %s", started > 1 ? "s" : "", text);
    free(text);
    return reason;
}

// The command as a line a shell reads back, with its pids once it has
// started. Built only when the log takes it, and only once the run's
// inputs are checked: it grows with them (a million groups, 100,000
// arguments).
void log_command(const Stages &stages, const qo_run_options &o, const char *pids,
                 int64_t until, const Site &site) noexcept
{
    if (!logs_runs())
        return;
    char *line = qo_run_line::command_line(stages, o, site);
    qo_log::entry_until(until, 5, site, "%s%s", line, pids);
    free(line);
}

// The job started, its command line logged with its pids; or NULL with
// errno, the reason logged and in why, and statuses (when given) those of
// the stages started and killed. Only a held job takes QO_RUN_INPUT_PIPE:
// a run would wait for input nobody can give.
// The caller's call may have blocked the signals already (outer).
qo_job *start(const Stages &stages, const qo_run_options &options, int statuses[],
              const Site &site, const char *front, bool held = true,
              const Calling *outer = nullptr) noexcept
{
    const qo_run_options o = effective(options);
    const int64_t began = now_us();
    const int64_t until = qo_run::deadline_of(began, o.timeout_ms);
    empty_slot(o.output, until, site, front);
    empty_slot(o.errors, until, site, front);
    empty_slot(o.why, until, site, front);
    for (size_t i = 0; o.stage_errors && i < stages.count; ++i)
        empty_slot(&o.stage_errors[i], until, site, front);
    void *room = allocate(sizeof(qo_job), site);
    // cppcheck-suppress legacyUninitvar ; placement new
    qo_job *job = ::new (room) qo_job(stages, o, began, site);
    std::optional<Calling> own; // it blocks signals while it lives
    if (!outer)
        own.emplace(job->run.at_terminal());
    NotStarted failed;
    if (!held && (o.flags & QO_RUN_INPUT_PIPE)) {
        failed.refused = "QO_RUN_INPUT_PIPE needs a held job (qo_start): nothing could "
                         "write the command's input";
        failed.error = EINVAL;
    }
    if (held)
        job->run.hold();
    if (failed.error || job->run.start(failed)) {
        log_command(stages, o, "", until, site);
        int ignored = 0;
        job->run.reap(job->statuses, ignored);
        job->run.fill_slots();
        char *reason = with_started(start_failure(job->names, o, failed), *job);
        give_why(o.why, log_reason(reason, until, site), site);
        if (statuses)
            std::copy(job->statuses, job->statuses + stages.count, statuses);
        free_job(job);
        errno = failed.error;
        return nullptr;
    }
    if (logs_runs())
        job->pids = pids_of(job->run, site);
    log_command(stages, o, job->pids, until, site);
    return job;
}

// The set the job is in, if any, queues it to be handed back.
void tell_ended(qo_job &job) noexcept
{
    if (job.member.tell)
        job.member.tell(job.member.set, &job, false);
}

int wait_for(qo_job &job, int timeout_ms, int statuses[],
             Calling *outer = nullptr) noexcept
{
    if (!job.ended) {
        std::optional<Calling> own;
        if (!outer)
            own.emplace(job.run.at_terminal());
        if (!job.run.serve(timeout_ms, outer ? *outer : *own)) {
            errno = EAGAIN;
            return -1;
        }
        end(job);
        tell_ended(job);
    }
    if (statuses)
        std::copy(job.statuses, job.statuses + job.names.count, statuses);
    errno = job.error;
    return job.status;
}

} // namespace

// A run is start, wait and free in one call, whose thread keeps SIGCHLD
// blocked throughout: a handler that reaps every child gets no chance
// between the steps.
qo_run::Outcome qo_run::run_stages(const Stages &stages, const qo_run_options &options,
                                   int statuses[], const Site &site,
                                   const char *front) noexcept
{
    Calling throughout(true);
    qo_job *job = start(stages, options, statuses, site, front, false, &throughout);
    if (!job)
        return {-1, errno};
    const Outcome outcome{wait_for(*job, -1, statuses, &throughout), job->error};
    free_job(job);
    return outcome;
}

qo_run::Outcome qo_run::run(const char *const argv[], const qo_run_options &o,
                            const Site &site, const char *front) noexcept
{
    return run_stages({&argv, 1}, o, nullptr, site, front);
}

namespace {

int run_one(const char *const argv[], const qo_run_options *options,
            const Site &site) noexcept
{
    qo_err::require(argv, site, "qo_run: NULL argv");
    if (!argv[0])
        qo_run::fail(site, "qo_run: empty argv");
    const qo_run_options defaults{};
    const qo_run::Outcome outcome =
        qo_run::run(argv, options ? *options : defaults, site, "qo_run");
    errno = outcome.error;
    return outcome.status;
}

qo_job *start_one(const char *const argv[], const qo_run_options *options,
                  const Site &site) noexcept
{
    qo_err::require(argv, site, "qo_start: NULL argv");
    if (!argv[0])
        qo_run::fail(site, "qo_start: empty argv");
    const qo_run_options defaults{};
    return start({&argv, 1}, options ? *options : defaults, nullptr, site, "qo_start");
}

qo_job *start_stages(const char *const *const stages[], const qo_run_options *options,
                     const Site &site) noexcept
{
    const Stages all{stages, qo_run::count_stages(stages, site, true)};
    const qo_run_options defaults{};
    return start(all, options ? *options : defaults, nullptr, site,
                 "qo_pipeline_start");
}

} // namespace

extern "C" int qo_run_at(const char *const argv[], const qo_run_options *options,
                         int line, const char *file, const char *func) noexcept
{
    return run_one(argv, options, qo_run::site_of(line, file, func, "qo_run_at"));
}

extern "C" int qo_run_int(const char *const argv[], const qo_run_options *options,
                          int line, const char *file) noexcept
{
    return run_one(argv, options, {line, file, "qo_run_int"});
}

// ---- Held jobs -----------------------------------------------------------

extern "C" qo_job *qo_start_at(const char *const argv[], const qo_run_options *options,
                               int line, const char *file, const char *func) noexcept
{
    return start_one(argv, options, qo_run::site_of(line, file, func, "qo_start_at"));
}

extern "C" qo_job *qo_start_int(const char *const argv[], const qo_run_options *options,
                                int line, const char *file) noexcept
{
    return start_one(argv, options, {line, file, "qo_start_int"});
}

extern "C" qo_job *qo_pipeline_start_at(const char *const *const stages[],
                                        const qo_run_options *options, int line,
                                        const char *file, const char *func) noexcept
{
    return start_stages(stages, options,
                        qo_run::site_of(line, file, func, "qo_pipeline_start_at"));
}

extern "C" qo_job *qo_pipeline_start_int(const char *const *const stages[],
                                         const qo_run_options *options, int line,
                                         const char *file) noexcept
{
    return start_stages(stages, options, {line, file, "qo_pipeline_start_int"});
}

extern "C" pid_t qo_job_pid(const qo_job *job, size_t stage) noexcept
{
    return job ? job->run.pid(stage) : -1;
}

extern "C" int qo_job_fd(const qo_job *job) noexcept
{
    // The set is made at the first call: the job is the caller's, never const.
    return job ? const_cast<qo_job *>(job)->run.fd() : -1;
}

extern "C" int qo_job_serve(qo_job *job, int timeout_ms) noexcept
{
    if (job->ended)
        return 1;
    Calling call(job->run.at_terminal());
    if (!job->run.serve(timeout_ms, call))
        return 0;
    const int error = errno;
    end(*job);
    tell_ended(*job);
    errno = error;
    return 1;
}

extern "C" int qo_job_wait(qo_job *job, int timeout_ms, int statuses[]) noexcept
{
    return wait_for(*job, timeout_ms, statuses);
}

// Without QO_RUN_INPUT_PIPE, EINVAL whether the job runs or not; once it
// has ended, EPIPE: the command reads no more.
extern "C" int qo_job_write(qo_job *job, const void *data, size_t size) noexcept
{
    Calling call(job->run.at_terminal());
    const bool piped = job->options.flags & QO_RUN_INPUT_PIPE;
    int error = piped ? EPIPE : EINVAL;
    if (piped && !job->ended)
        error = job->run.push_input(static_cast<const char *>(data), size, call);
    if (error)
        errno = error;
    return error ? -1 : 0;
}

extern "C" int qo_job_close_input(qo_job *job) noexcept
{
    const bool piped = job->options.flags & QO_RUN_INPUT_PIPE;
    const int error = !piped ? EINVAL : job->ended ? 0 : job->run.end_input();
    if (error)
        errno = error;
    return error ? -1 : 0;
}

extern "C" int qo_job_signal(qo_job *job, int sig) noexcept
{
    const int error = job->ended ? ESRCH : job->run.signal(sig);
    if (error)
        errno = error;
    return error ? -1 : 0;
}

extern "C" void qo_job_stop(qo_job *job) noexcept
{
    if (job)
        job->run.stop_from_anywhere();
}

extern "C" void qo_job_free(qo_job *job) noexcept
{
    if (!job)
        return;
    if (!job->ended) {
        const int error = errno;
        job->run.stop_from_anywhere();
        wait_for(*job, -1, nullptr);
        errno = error;
    }
    if (job->member.tell)
        job->member.tell(job->member.set, job, true);
    free_job(job);
}

qo_job_member::Membership &qo_job_member::membership(qo_job *job) noexcept
{
    return job->member;
}

bool qo_job_member::ended(const qo_job *job) noexcept
{
    return job->ended;
}

// The names in the messages are the fronts' own: qo_pipeline(), or
// qo_pipeline_start().
size_t qo_run::count_stages(const char *const *const stages[], const qo_run::Site &site,
                            bool start) noexcept
{
    qo_err::require(stages, site,
                    start ? "qo_pipeline_start: NULL stages"
                          : "qo_pipeline: NULL stages");
    size_t count = 0;
    for (; stages[count]; ++count)
        if (!stages[count][0])
            qo_err::fail(site, -1,
                         start ? "qo_pipeline_start: empty stage"
                               : "qo_pipeline: empty stage");
    if (count == 0)
        qo_err::fail(site, -1,
                     start ? "qo_pipeline_start: no stage" : "qo_pipeline: no stage");
    return count;
}

// ---- What a job's end says ------------------------------------------------

// "deadline reached: tar: killed by signal 15 (Terminated) | gzip: exited
// with status 0", "stopped: ...", then ": why" when the run failed.
extern "C" char *qo_job_describe(const qo_job *job) noexcept
{
    if (!job || !job->ended)
        return nullptr;
    char *stages = outcomes(*job, job->names.count);
    const char *cut = !job->run.timed_out() ? job->run.stopped() ? "stopped: " : ""
                                            : "deadline reached: ";
    char *text = nullptr;
    (qo_asprintf)(&text, job->site.line, job->site.file, "%s%s%s%s", cut, stages,
                  job->reason ? ": " : "", job->reason ? job->reason : "");
    free(stages);
    return text;
}

extern "C" int qo_job_interrupted(const qo_job *job) noexcept
{
    for (size_t i = 0; job && job->ended && i < job->names.count; ++i) {
        const int status = job->statuses[i];
        if (status != -1 && WIFSIGNALED(status) &&
            (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT))
            return 1;
    }
    return 0;
}

extern "C" long long qo_job_duration_ms(const qo_job *job) noexcept
{
    return job && job->ended ? job->took_ms : -1;
}
