/* qo's held commands: a command or pipeline started and handed back to
 * the caller, who serves, waits for and frees it. Part of <qo.h>. */
#ifndef QO_JOB_H
#define QO_JOB_H

#include "commands.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Commands you hold --------------------------------------------------
 * qo_start() and qo_pipeline_start() start what qo_run() and qo_pipeline()
 * run, and hand back the running job; qo_run() and qo_pipeline() are
 * start, wait and free. Every option holds as in qo_run() (the deadline
 * counted from the start, QO_RUN_REPLACE decided when the job ends); the
 * struct is copied, but what it points to (the input text, the slots, the
 * context) must stay valid until the job has ended or is freed.
 * Nothing happens behind the caller's back (but the Ctrl-C typed at a
 * terminal, see qo_run()): the bytes move, the callbacks are called and
 * the deadline is acted on in the job's calls below, in the thread that
 * makes them, which blocks SIGCHLD and SIGPIPE during each
 * call (not between them: a SIGCHLD handler of the caller's that reaps
 * every child may take a held job's status, which is then lost). A job is
 * used from one thread at a time, except qo_job_stop(), which any thread
 * or a signal handler may call.
 *
 *     struct qo_job *job = qo_start(((const char *[]){"make", NULL}), &o);
 *     struct pollfd p = {qo_job_fd(job), POLLIN, 0};
 *     while (!qo_job_serve(job, 0))
 *         poll(&p, 1, -1);
 *     int status = qo_job_wait(job, -1, NULL);
 *     qo_job_free(job);
 *
 * A job that cannot start gives NULL, with errno, the why slot and the
 * log entry as qo_run() gives -1 (an existing output file left as it
 * was). Ends the process when argv or stages is NULL or empty or memory
 * runs out. */
struct qo_job;
QO_API struct qo_job *qo_start_int(const char *const argv[],
                                   const struct qo_run_options *options, int line,
                                   const char *file) QO_NOEXCEPT;
QO_API struct qo_job *qo_pipeline_start_int(const char *const *const stages[],
                                            const struct qo_run_options *options,
                                            int line, const char *file) QO_NOEXCEPT;
/* With the caller's function, as qo_run_at() takes it (since 1.5). */
QO_API struct qo_job *qo_start_at(const char *const argv[],
                                  const struct qo_run_options *options, int line,
                                  const char *file, const char *func) QO_NOEXCEPT;
QO_API struct qo_job *qo_pipeline_start_at(const char *const *const stages[],
                                           const struct qo_run_options *options,
                                           int line, const char *file,
                                           const char *func) QO_NOEXCEPT;

/* The process id of a stage (0 for the first, and for qo_start()'s
 * command), or -1 when there is no such stage. */
QO_API pid_t qo_job_pid(const struct qo_job *job, size_t stage) QO_NOEXCEPT;

/* A descriptor that becomes readable whenever the job needs serving:
 * bytes to move, a stage ended, its deadline or its grace reached, a
 * stop asked. Poll it, or hand it to an event loop, and call
 * qo_job_serve() when it is readable; never read it, nor close it. */
QO_API int qo_job_fd(const struct qo_job *job) QO_NOEXCEPT;

/* Moves what can move, calls the callbacks and acts on the deadline,
 * waiting up to timeout_ms for something to do (0 never blocks, -1 waits
 * for the end). 1 once the job has ended and its output is all in, else
 * 0. */
QO_API int qo_job_serve(struct qo_job *job, int timeout_ms) QO_NOEXCEPT;

/* Serves the job until it ends or timeout_ms has passed (-1: no limit).
 * At the end, what qo_pipeline() returns (qo_run()'s status for one
 * command): statuses, when not NULL, filled (room for one per stage),
 * slots, sizes and why filled, errno as qo_run() sets it; and the same
 * again on a later call. Before it, -1 with errno EAGAIN, the job still
 * running: waiting again goes on where this left, nothing lost. */
QO_API int qo_job_wait(struct qo_job *job, int timeout_ms, int statuses[]) QO_NOEXCEPT;

/* With QO_RUN_INPUT_PIPE: size bytes for the command's stdin, copied and
 * written as the pipe takes them; the caller never waits. 0, or -1 with
 * errno: EPIPE once the command has closed its stdin (no SIGPIPE is
 * raised), EINVAL without QO_RUN_INPUT_PIPE or after
 * qo_job_close_input(). */
QO_API int qo_job_write(struct qo_job *job, const void *data, size_t size) QO_NOEXCEPT;
/* The end of the input: the pipe is closed once what was written is in. */
QO_API int qo_job_close_input(struct qo_job *job) QO_NOEXCEPT;

/* Sends sig to every stage and what it started (in the job's group and
 * in groups its stages moved to; contained, to every process in its
 * control group); the job goes on (SIGHUP, SIGUSR1: reload,
 * SIGSTOP, SIGCONT). 0, or -1 with errno (EINVAL for a bad signal, ESRCH
 * once the job has ended). */
QO_API int qo_job_signal(struct qo_job *job, int sig) QO_NOEXCEPT;

/* Stops the job as a callback's stop does: stop_signal, SIGCONT, SIGKILL
 * after the grace; the end reads as a stop (errno ECANCELED). Any thread
 * may call it, and a signal handler, while another thread serves or waits
 * on the job, which it wakes at once. Nothing once the job has ended. */
QO_API void qo_job_stop(struct qo_job *job) QO_NOEXCEPT;

/* Frees the job; one still running is stopped first, and waited for: no
 * zombie, descriptor or temporary file outlives it, nor, contained, any
 * process of its control group. NULL is fine. */
QO_API void qo_job_free(struct qo_job *job) QO_NOEXCEPT;

/* What the job's end says, once it has ended (whoever served it): before
 * the end, NULL, 0 and -1.
 * qo_job_describe(): a fresh string to free(), each stage named with its
 * outcome as the log has it, led by how the run was cut short and
 * followed by why it failed: "gzip: exited with status 0",
 * "deadline reached: tar: killed by signal 15 (Terminated) | gzip: exited
 * with status 0", "stopped: sleep: killed by signal 15 (Terminated)",
 * "tar: exited with status 0 | gzip: exited with status 0: Unable to
 * replace /srv/backup.tgz: Permission denied".
 * qo_job_interrupted(): 1 when a stage was killed by SIGINT or SIGQUIT
 * (Ctrl-C or Ctrl-\ at the terminal ended it), else 0.
 * qo_job_duration_ms(): from the start to the end, in milliseconds, as the
 * outcome's log entry says. */
QO_API char *qo_job_describe(const struct qo_job *job) QO_NOEXCEPT;
QO_API int qo_job_interrupted(const struct qo_job *job) QO_NOEXCEPT;
QO_API long long qo_job_duration_ms(const struct qo_job *job) QO_NOEXCEPT;

/* The fronts: fill in the caller's call site, as qo_run()'s do. */
#ifdef __cplusplus
#define qo_start(...) qo_start_at(__VA_ARGS__, __LINE__, __FILE__, __func__)
#define qo_pipeline_start(...)                                                         \
    qo_pipeline_start_at(__VA_ARGS__, __LINE__, __FILE__, __func__)
#else
static inline struct qo_job *qo_start_front_(qo_argv_front_ argv,
                                             const struct qo_run_options *options,
                                             int line, const char *file,
                                             const char *func)
{
    return qo_start_at(argv.as_declared, options, line, file, func);
}
static inline struct qo_job *
qo_pipeline_start_front_(qo_stages_front_ stages, const struct qo_run_options *options,
                         int line, const char *file, const char *func)
{
    return qo_pipeline_start_at(stages.as_declared, options, line, file, func);
}
#define qo_start(...)                                                                  \
    (__extension__(QO_ARGV_CHECK_(__VA_ARGS__),                                        \
                   qo_start_front_(__VA_ARGS__, __LINE__, __FILE__, __func__)))
#define qo_pipeline_start(...)                                                         \
    (__extension__(                                                                    \
        QO_STAGES_CHECK_(__VA_ARGS__),                                                 \
        qo_pipeline_start_front_(__VA_ARGS__, __LINE__, __FILE__, __func__)))
#endif

#ifdef __cplusplus
}
#endif

#endif /* QO_JOB_H */
