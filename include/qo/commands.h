/* qo's command runner: qo_system(), and commands and pipelines run without
 * a shell (qo_run(), qo_pipeline()). Part of <qo.h>. */
#ifndef QO_COMMANDS_H
#define QO_COMMANDS_H

#include "common.h"
#include <sys/resource.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Commands ----------------------------------------------------------- */

/* Format a command line and run it with system(); return its status as
 * system() gives it: 0 or a wait status (WEXITSTATUS, WTERMSIG...). A shell
 * that cannot be started at all (a command line over the kernel's limit, no
 * process left to create) comes back as exit status 127, as a command the
 * shell cannot find does, and nothing is logged. -1 comes back only when
 * the C library returns it, when the shell cannot be waited for (SIGCHLD
 * ignored): then a level-4 line with this library's call site is logged.
 * The line goes to the shell as it is: quote its parts yourself. Ends the
 * process when the command line cannot be built. */
QO_API int qo_system_int(int line, const char *file, const char *format,
                         ...) QO_NOEXCEPT QO_PRINTF(3, 4);

/* What qo_run() does besides running the command. Zero-initialise, then
 * set what you need; a NULL options pointer means all zero.
 *
 * How it grows without breaking a program built against an older header:
 * - Zero always keeps to the old behaviour, and no field must be filled
 *   in: options set with = {0} or memset() keep working in every release.
 * - A release that needs more room makes the struct larger and gives every
 *   function that takes it a new symbol version (qo_run_int@@QO_1.4). The
 *   versions a program built earlier is bound to stay, each reading only
 *   the struct its header had and copying it into a zeroed larger one: no
 *   field beyond what that program allocated is ever read.
 * - The struct ends in reserved room, which must stay zero. A release may
 *   carve fields out of it, the size unchanged, under a new version node
 *   all the same, so that a program which sets them cannot load a library
 *   that would ignore them.
 * So 1.1's options (which ended at log_output) are read by
 * qo_run_int@QO_1.0, 1.2's and 1.3's (144 bytes on 64-bit systems) by the
 * @QO_1.2 and @QO_1.3 versions, 1.4's by @QO_1.4, and these, whose fields
 * since 1.5 took room 1.4 reserved, by @QO_1.5. */
struct qo_run_options {
    const char *input; /* text for the command's stdin; NULL: /dev/null */
    char **output;     /* slot that receives its stdout; NULL: the caller's */
    char **errors;     /* slot that receives its stderr; NULL: the caller's.
                          The same slot as output receives both, merged. */
    int timeout_ms;    /* > 0: at the deadline the command's process group,
                          and any process of the run that moved to a group
                          of its own, gets stop_signal, and SIGKILL
                          grace_ms later */
    const char *dir;   /* working folder; NULL: the caller's */
    int log_output;    /* > 0: each line of stdout or stderr that no slot
                          nor callback receives is also logged at this
                          level */
    /* since 1.2 */
    const char *const *env;  /* NULL-terminated changes to the caller's
                                environment (to an empty one with
                                QO_RUN_CLEAR_ENV): "NAME=value" sets, "NAME"
                                removes; the rest is inherited */
    const char *input_file;  /* the command's stdin reads this file (it
                                wins over input) */
    const char *output_file; /* its stdout writes this file (it wins over
                                output): created 0666 & ~umask, emptied
                                only once the command that writes it is
                                found and about to start (a run that
                                cannot start leaves it as it was), or
                                appended with QO_RUN_APPEND; a folder
                                that is not there is named ("Unable to
                                open out/f.txt: no folder out") */
    unsigned flags;          /* QO_RUN_APPEND, QO_RUN_CLEAR_ENV, QO_RUN_REPLACE */
    /* since 1.3, in the room 1.2 reserved: the struct's size is unchanged */
    void *context; /* passed back to each callback */
    /* Called with each line of stdout (of stderr) as it arrives: line holds
     * size bytes and ends with the '\n' or '\r' that ended it. Each call
     * holds only bytes no call held before, in the stream's order (all the
     * calls together are the stream, byte for byte), and at most one line
     * ending, as its last byte: "\r\n" comes as two calls, the second "\n"
     * alone. A call without an ending holds the text that came since the
     * last call, of a line that goes on: a piece of QO_RUN_LINE_MAX bytes,
     * or with QO_RUN_PARTIAL_LINES what was there when the stream went
     * quiet; or the last of a stream that ended without an ending. It
     * never repeats what an earlier call held: a reader that wants a
     * line's whole text so far joins the pieces itself. A stream with a
     * callback and no slot is the callback's alone: it is neither passed
     * on to the caller's descriptor nor logged. With output_file, on_output
     * (since 1.4) sees every line the file is written (QO_RUN_REPLACE still
     * replaces the file whole, on success only), and output_size tells the
     * file's size. A regular file not appended to, under no RLIMIT_FSIZE,
     * the command writes itself and the run reads back as it grows (since
     * 1.5), until every stage has ended: a process left behind that writes
     * on is not waited for. Otherwise the stream passes through the run on
     * its way, and a write the file refuses fails the run: -1, "Unable to
     * write out.txt: No space left on device". With output and errors the
     * same slot, on_output gets both streams. A non-zero return stops the
     * run. */
    int (*on_output)(void *context, const char *line, size_t size);
    int (*on_errors)(void *context, const char *line, size_t size);
    /* Called when the command can take more input and what it gave before
     * is all written: the bytes it put in buffer (at most room), 0 for the
     * end of input, -1 to stop the run. When set, it is the input: input
     * and input_file are ignored. */
    ssize_t (*on_input)(void *context, char *buffer, size_t room);
    size_t *output_size; /* receives the size of the text output received,
                            NUL bytes included; 0 without a slot */
    size_t *errors_size; /* the same for errors */
    char **why;          /* slot that receives why the run gave -1, as the
                            log says it ("Unable to run gzip (stage 2 of
                            2): No such file or directory", "Unable to
                            open out.txt: Permission denied"), or "" */
    int stop_signal;     /* sent first at the deadline or a stop; 0: SIGTERM */
    int grace_ms;        /* then SIGKILL this much later; 0: 1000 */
    /* since 1.4, which made the struct larger */
    /* The caller's own descriptors as the command's 0, 1 and 2, each used
     * when its flag is set (QO_RUN_INPUT_FD, QO_RUN_OUTPUT_FD,
     * QO_RUN_ERRORS_FD), winning over the other ways to give that stream;
     * the same descriptor for output and errors gets both in order. The
     * run never closes nor moves them; one that is not open gives -1,
     * EBADF and a why naming it, before anything starts. */
    int input_fd, output_fd, errors_fd;
    unsigned umask; /* with QO_RUN_UMASK: the command's umask */
    /* Descriptors the command gets at the same numbers, ended by -1; it
     * gets no other beyond 0-2. */
    const int *pass_fds;
    /* With QO_RUN_USER: the command runs as uid and gid, with groups
     * (groups_count of them; none when 0) as its supplementary groups.
     * Needs the privilege to set them (root): without it, -1, EPERM and a
     * why, and nothing starts. */
    uid_t uid;
    gid_t gid;
    const gid_t *groups;
    size_t groups_count;
    int nice; /* added to the command's niceness; 0 leaves it */
    /* Resource limits set in the command, ended by an entry whose resource
     * is -1: {RLIMIT_CORE, 0, 0}. */
    const struct qo_rlimit *limits;
    /* Each stage's stderr apart: lines as on_errors gets them, with the
     * stage's index (0 for the first); and an array of one slot per stage
     * (stage_errors[i] receives stage i's text, as errors would). Either
     * takes stderr from errors (which receives "", or stdout alone when it
     * is output's slot) and on_errors; errors_fd wins over both (each
     * stage_errors[i] receives ""). A pipeline whose stderr only the log takes
     * (log_output) has its lines logged apart too, each naming its stage:
     * "stderr of stage 1 (tar): Cannot open: No such file". */
    int (*on_stage_errors)(void *context, size_t stage, const char *line, size_t size);
    char **stage_errors;
    /* since 1.5, in the room 1.4 reserved: the struct's size is unchanged */
    /* Room for one per stage (one for qo_run()): each receives what its
     * stage used, once the run has ended (see struct qo_run_usage); a
     * stage not started, or whose status was lost, gets zeros. */
    struct qo_run_usage *usage;
    /* With QO_RUN_CGROUP: the cgroup v2 folder the run's group is made in
     * ("/sys/fs/cgroup/app.service/jobs"); NULL: the caller's own group. */
    const char *cgroup;
    /* With QO_RUN_CGROUP: limits on the whole group; NULL: none. */
    const struct qo_cgroup_limits *cgroup_limits;
    void *reserved[7]; /* zero: room for later releases */
};
/* What a stage of a run used, as wait4() tells it for the process and
 * every descendant it waited for. The kernel counts in the peak what the
 * process was before its exec, a copy of the caller: under a caller of
 * 200 MiB, true reads 200 MiB. A contained run of one command gets its
 * group's own counters instead: the CPU time of every process that ran in
 * the group, waited for or not, and the group's memory.peak where the
 * memory controller is enabled for it (the page cache it caused counts
 * there too). The outcome entry gives them after the duration: "(812 ms,
 * 790 ms CPU, 1.2 MiB)", a pipeline's stage after stage: "(812 ms, 790 ms
 * CPU, 1.2 MiB | 12 ms CPU, 980 KiB)". */
struct qo_run_usage {
    long long user_us;     /* CPU time in user mode, microseconds */
    long long system_us;   /* CPU time in the kernel, microseconds */
    long long peak_kib;    /* peak resident size, KiB */
    long long reserved[5]; /* zero: room for later releases */
};
/* Limits on a contained run's group, each where the folder the group is
 * made in enables its controller for its groups (its cgroup.subtree_control
 * names memory, pids, cpu); where it does not, nothing starts: -1, ENOTSUP
 * and a why that says which. 0 leaves a limit unset. */
struct qo_cgroup_limits {
    unsigned long long memory_max; /* memory.max, bytes: over it, the
                                      kernel reclaims, then kills */
    unsigned long long pids_max;   /* pids.max: processes and threads at
                                      once; a fork beyond fails */
    unsigned cpu_weight;           /* cpu.weight, 1 to 10000 (100 is
                                      everyone's share) */
    unsigned reserved[5];          /* zero */
};
/* A resource limit for the command, as setrlimit() takes it. */
struct qo_rlimit {
    int resource; /* RLIMIT_CORE, RLIMIT_NOFILE...; -1 ends the list */
    rlim_t soft;
    rlim_t hard;
};
#define QO_RUN_APPEND 1u
#define QO_RUN_CLEAR_ENV 2u /* start from an empty environment, as env -i */
/* output_file replaced whole, on success only: the output goes to a new
 * file beside it (".name.XXXXXXXXXXXX", made exclusively), flushed and
 * renamed over it when the run returns 0 and no deadline or stop cut it
 * short, removed otherwise and by qo_exit(). A new file gets 0666 &
 * ~umask, a replaced one keeps its permission bits. Without output_file,
 * with QO_RUN_APPEND or on a file that is not a regular one, nothing
 * starts: -1, EINVAL, why says it. */
#define QO_RUN_REPLACE 4u
#define QO_RUN_INPUT_FD 8u   /* stdin is input_fd */
#define QO_RUN_OUTPUT_FD 16u /* stdout is output_fd */
#define QO_RUN_ERRORS_FD 32u /* stderr is errors_fd */
/* A new session instead of a new process group: the command has no
 * controlling terminal and is not the terminal's job (Ctrl-C, Ctrl-Z and
 * the foreground do not reach it), as setsid runs it; a daemon that must
 * outlive the caller's terminal wants that. */
#define QO_RUN_NEW_SESSION 64u
#define QO_RUN_UMASK 128u /* the command's umask is umask */
#define QO_RUN_USER 256u  /* the command runs as uid, gid, groups */
/* stdin is a pipe the caller feeds through qo_job_write() and ends with
 * qo_job_close_input() (a held job only; it wins over the other inputs). */
#define QO_RUN_INPUT_PIPE 512u
/* on_output and on_errors also get the text of a line not ended yet, as
 * soon as its stream goes quiet (nothing more to read at once): a progress
 * report led by '\r' is seen as it is written. A call holds what came
 * since the last one (see on_output), not the line's text so far. */
#define QO_RUN_PARTIAL_LINES 1024u
/* The longest text handed to on_output or on_errors in one call: a
 * longer line comes in pieces of this many bytes (see on_output). */
#define QO_RUN_LINE_MAX 65536
/* Contained: the run's commands (all the stages) start in a cgroup v2
 * group of their own, made in the caller's own group, or in cgroup, so
 * that nothing they start outlives the run, however it left their process
 * group and session (setsid, a double fork). The stop signal goes to every
 * process in the group, the SIGKILL after the grace kills it whole, what
 * the commands leave behind is killed as they end, and the run ends once
 * the group is empty, removing it; qo_job_free() and qo_exit() kill it
 * too. Where no group can be made (no cgroup v2, no write access: a plain
 * user needs a delegated group), nothing starts: -1, errno as the kernel
 * said, a why naming the folder ("Unable to create a control group in
 * /sys/fs/cgroup/...: Permission denied"). See qo_commands(3). */
#define QO_RUN_CGROUP 2048u

/* Run argv[0] (searched in the caller's PATH when it has no slash) with
 * the arguments argv[0..] up to a NULL, without a shell: each argument
 * reaches the command byte for byte. The front also takes a compound
 * literal: qo_run((const char *[]){"ls", "-l", NULL}, NULL). The command
 * gets the caller's environment with the env changes, its own process
 * group, the caller's descriptors 0-2 (or the pipes, files and /dev/null
 * the options ask for) and no other. It starts with no signal blocked and
 * SIGPIPE and SIGXFSZ at their defaults (at a terminal, the stop signals
 * too); other signals the caller ignores, such as SIGINT, SIGQUIT and
 * SIGHUP, stay ignored (nohup).
 *
 * At a terminal: when the caller's group is the foreground of its
 * controlling terminal (found from any of descriptors 0-2, else /dev/tty:
 * stdin may be redirected, as in prog <list), the command's group takes
 * the foreground for the run and gives it back after, so it can read a
 * password from /dev/tty, Ctrl-C ends it (the caller goes on and gets
 * "killed by signal 2"), and Ctrl-Z stops it and then the caller's own
 * group, as the shell expects; fg gives the terminal back to the command
 * and continues it. As a shell does, a command that ends by a signal (the
 * deadline, Ctrl-C) or stops leaves the terminal with the modes the caller
 * had (echo, raw mode); one that exits keeps the modes it set (stty). One
 * run of the process has the foreground at a time: of runs from several
 * threads at once (or held jobs), the first takes it and the others run
 * without it; one of them that stops for the terminal (a read from
 * /dev/tty) gets it once the first has given it back, and the caller goes
 * on meanwhile. What is typed reaches every run and held job of the
 * process all the same, whatever the caller is waiting on (one job,
 * another, nothing): a Ctrl-C or Ctrl-\ that ends a process of the job
 * that has the foreground is passed on to the others (each status then
 * says SIGINT), by the thread serving that job or, while other jobs run
 * beside it, by a thread of the library's that looks at it every 50 ms
 * and does nothing else; a Ctrl-Z stops them with it (SIGSTOP) and
 * continues them with the caller. When it ends, the foreground goes to
 * another run still going before it returns to the caller. A job of
 * QO_RUN_NEW_SESSION is no job of the terminal's, and gets none of it. A
 * run nested in a callback of the run that has the foreground borrows it,
 * and gives it back when it ends: a prompt (ssh, sudo) nested so reads
 * what is typed. A held job never borrows it: started from the thread of
 * the job that has it, it runs beside that job. A caller in the background
 * leaves the terminal alone; a command that stops there for the terminal
 * stops the caller's group too, and goes on once fg brings the caller to
 * the foreground.
 *
 * Returns the wait status (WIFEXITED, WEXITSTATUS, WTERMSIG...), or -1
 * with errno set. A run cut short by its deadline or a stop never returns
 * 0: if its command exited 0 all the same (a server that exits 0 on
 * SIGTERM), the status reads as a kill by stop_signal, with errno
 * ETIMEDOUT or ECANCELED; the command's own status is in the statuses of
 * qo_pipeline() and qo_job_wait(). -1 comes with a level-4 log entry that
 * the why slot receives too,
 * when the command could not be started (not found, not executable, no
 * process, a missing dir, a file that cannot be opened: nothing is started
 * then), its output could not replace output_file, or its status was lost
 * (SIGCHLD ignored, or a handler in another thread that reaps every child:
 * the calling thread blocks SIGCHLD for the run, as system() does, which
 * protects it from handlers that run in it). Options it refuses (more
 * groups than NGROUPS_MAX, a descriptor that is not open) are refused
 * before any work that grows with them, and a start costs time linear in
 * its arguments, environment changes, groups and descriptors passed on:
 * 100,000 arguments start about as fast as posix_spawn() starts them.
 * stdin and the captured
 * streams are served together: no size deadlocks. Slots receive a fresh
 * string, trimmed to its text, also "" after -1; a string still in a slot
 * is released first (with a level-1 line), as qo_getline() does. A slot
 * keeps every byte, with a NUL after them: for output that holds NUL
 * bytes, output_size and errors_size tell where the text ends.
 *
 * Callbacks are called by qo_run() itself, in the calling thread, as the
 * bytes come and go; until one returns, the run waits (the deadline
 * included). No lock of the library is held meanwhile: a callback may log,
 * run commands (SIGCHLD and SIGPIPE, and at a terminal SIGTTOU, are
 * blocked in the thread for a run; a nested run needs them so too) and
 * call qo_exit(), which kills the job as the process ends. It must not
 * leave by longjmp() or an exception, which would leave the job running
 * and the terminal and the signal mask as the run had them. A stop that a
 * callback asks for ends the job as a deadline does; no callback is called
 * after it, the command's stdin gets nothing more, slots take what comes
 * until the job has ended, and errno is ECANCELED.
 *
 * qo_run() returns once the command has ended and the captured streams are
 * closed and passed on, so a background child that keeps them open is
 * waited for, up to the deadline: then the whole group gets stop_signal
 * (and SIGCONT, should it be stopped), SIGKILL grace_ms later, and the run
 * ends at once, even if a process that left the group still holds the
 * pipes or nobody reads the caller's stdout. A command that moved to a
 * group of its own gets the signals by its pid and in that group as well.
 * The deadline counts from the start of the call, and it is the run's one
 * deadline: its log entries, the log's flush before the command and the
 * command all share it, so a stuck log does not stretch it.
 * The captured text is what arrived so far and errno is ETIMEDOUT
 * (ECANCELED after a callback's stop); after any other run it is 0.
 * Every write the run makes on the caller's behalf is bounded by that one
 * deadline: the output passed on to the caller's stdout and stderr, the
 * output_file when it writes it itself (with on_output), its log
 * entries; none waits for a reader past it, and qo_job_serve(job, 0) never
 * blocks. A reader that is only slow loses nothing: the command's pipe
 * waits for it.
 * The caller's stdout and stderr keep their flags (blocking): a terminal
 * or a pipe is written through a non-blocking description of its own,
 * opened again through /proc (without /proc, or for another user's
 * terminal, PIPE_BUF bytes once poll finds room: a pipe takes them at
 * once, a stalled terminal may not), a socket with MSG_DONTWAIT; the
 * output file's description, the run's own, does not block. Bytes not
 * passed on or written by the deadline are dropped and counted in a
 * level-5 entry ("stdout: 12345 bytes not passed on by the deadline",
 * "stdout: 4096 bytes not written to out.fifo by the deadline").
 * Only the command itself is waited for, and it is never left a zombie.
 * qo_exit() sends SIGKILL to every command still running, whatever group
 * or session it is in (a stage of QO_RUN_NEW_SESSION, one that ran
 * setsid), and to what it started there (up to 64 runs and 256 processes
 * at once), and kills every contained run's control group.
 *
 * Each run is logged at level 5 with the caller's call site: the command
 * as a line a shell reads back ("cd ./d && env -u TERM LC_ALL=C df -P #
 * pid 4242", "env -i PATH=/bin df -P # pid 4243"; built only when the log
 * takes level 5), once it has started, then its outcome, duration and
 * usage ("sleep: timed out after 1500 ms, killed by signal 15 (Terminated)
 * (1502 ms, 0 ms CPU, 1.6 MiB) # pid 4244", "sleep: stopped by a callback,
 * killed by signal 15 (Terminated) (12 ms, 0 ms CPU, 1.5 MiB) # pid
 * 4245"): the pids pair the entries of runs made in parallel. A contained
 * run's line ends in "# contained". These
 * entries never hold the run past its deadline, nor 2 seconds without one:
 * a log that cannot take one by then drops it and counts it (see the debug
 * log).
 * Any thread may call it; SIGPIPE is blocked in that thread during the
 * run, so a command that stops reading its input cannot kill the caller.
 * Ends the process when argv is NULL or empty or memory runs out. */
QO_API int qo_run_int(const char *const argv[], const struct qo_run_options *options,
                      int line, const char *file) QO_NOEXCEPT;

/* Run a pipeline without a shell: stages is a NULL-terminated array of
 * argv arrays as qo_run() takes them, each stage's stdout feeding the next
 * one's stdin through a pipe that only the two of them hold (the data never
 * passes through the caller). The options apply to the pipeline as a
 * whole: input or input_file feeds the first stage, output or output_file
 * takes the last one's stdout, errors receives every stage's stderr as it
 * arrives (the same slot as output: both, merged), on_input, on_output
 * and on_errors likewise, and the other options act as in qo_run(). The
 * stages are one job: one process group, the terminal's foreground at a
 * terminal (Ctrl-C and Ctrl-Z act on the whole pipeline), stop_signal then
 * SIGKILL to every stage at the deadline or a callback's stop, even one
 * that moved to a group of its own (timeout 5 cmd, setsid cmd), and to
 * what it started there. Each stage gets its own 0-2 and no other
 * descriptor.
 *
 *     const char *tar[] = {"tar", "-cf", "-", "/srv", NULL};
 *     const char *zstd[] = {"zstd", "-q", NULL};
 *     const char *const *stages[] = {tar, zstd, NULL};
 *     struct qo_run_options o = {0};
 *     o.output_file = "/backup/srv.tzst";
 *     int status = qo_pipeline(stages, &o, NULL);
 *
 * statuses, when not NULL, receives each stage's wait status in order
 * (room for one per stage; -1 for a stage not started). Returns the wait
 * status of the last stage that failed, or 0 when all succeeded (bash's
 * pipefail), so a failing tar before a happy zstd is never a success. One
 * exception: a stage killed by SIGPIPE whose reader ended well (yes |
 * head -1: head had what it wanted and left) is not a failure, nor is one
 * killed by SIGPIPE before such a stage. A pipeline cut short never
 * returns 0, as qo_run() says. This one rule gives what every front
 * returns for the same end: qo_run() (its command's own status),
 * qo_pipeline() and a held job's wait alike. After a deadline errno is
 * ETIMEDOUT, after a callback's stop ECANCELED, else 0; qo_status_text()
 * tells the status. A stage that cannot be started kills the stages
 * already started: -1, errno, a level-4 entry naming the stage and telling
 * how those ended ("Unable to run zstd (stage 2 of 2): No such file or
 * directory; stage already started: tar: killed by signal 9 (Killed)"),
 * which the why slot receives too; a file
 * that cannot be opened starts nothing (-1, errno, a level-4 entry).
 *
 * Logged at level 5 with the caller's call site as one line a shell reads
 * back as the same pipeline ("tar -cf - /srv | zstd -q >
 * /backup/srv.tzst"), then each stage's outcome and the duration ("tar:
 * exited with status 0 | zstd: exited with status 0 (812 ms)"). SIGPIPE
 * and SIGCHLD are blocked in the calling thread for the run. Ends the
 * process when stages is NULL or holds no stage or an empty one, or
 * memory runs out. */
QO_API int qo_pipeline_int(const char *const *const stages[],
                           const struct qo_run_options *options, int statuses[],
                           int line, const char *file) QO_NOEXCEPT;

/* The entries the fronts call since 1.5: as the _int ones, with the
 * caller's function (__func__), which every log entry of the call names
 * with the file and line; NULL names the entry itself. The _int entries
 * stay for programs built against 1.4 and earlier: their entries name the
 * entry (qo_run_int), the only function they know. */
QO_API int qo_run_at(const char *const argv[], const struct qo_run_options *options,
                     int line, const char *file, const char *func) QO_NOEXCEPT;
QO_API int qo_pipeline_at(const char *const *const stages[],
                          const struct qo_run_options *options, int statuses[],
                          int line, const char *file, const char *func) QO_NOEXCEPT;

/* Format a command line as qo_system() does, run it with /bin/sh -c as
 * qo_run() does, store its stdout in *slot (a fresh string; a string still
 * there is released first) and return its status; stderr goes to the
 * caller's. A shell that cannot be started (a command line over the
 * kernel's limit, no process left) gives -1 with errno (E2BIG, EAGAIN) and
 * a level-4 entry, as in qo_run(). Ends the process when slot or format is
 * NULL or the line cannot be built. */
QO_API int qo_system_output_int(char **slot, int line, const char *file,
                                const char *format, ...) QO_NOEXCEPT QO_PRINTF(4, 5);
/* The same with the caller's function, as qo_run_at() takes it (since 1.5). */
QO_API int qo_system_output_at(char **slot, int line, const char *file,
                               const char *func, const char *format, ...) QO_NOEXCEPT
    QO_PRINTF(5, 6);

/* A fresh string telling a status of qo_system(), qo_run() or
 * qo_pipeline():
 * "exited with status 2", "killed by signal 9 (Killed)", "could not be
 * run" for -1. */
QO_API char *qo_status_text(int status) QO_NOEXCEPT;

/* ---- Fronts: fill in the caller's call site ----------------------------- */

#define qo_system(...) qo_system_int(__LINE__, __FILE__, __VA_ARGS__)
/* Variadic because the braces of a compound literal argv do not shield its
 * commas from the preprocessor. In C they take argv as char **, const
 * char **, char *const * or const char *const * (so qo_run(argv + 1, NULL)
 * needs no cast) or an array of any of them, a compound literal included,
 * and stages as a pointer to or an array of any of those; anything else
 * does not compile: void * and const void *, a null pointer constant (0,
 * NULL), a char *, a char *** as argv, an argv as stages. qo_pipeline()
 * takes its stages from what comes before its last comma outside
 * parentheses, so its statuses is one expression without a braced list,
 * and the call holds at most 63 such commas. In C++ the functions' own
 * parameters convert what a function call would: all of these, and a null
 * pointer constant too, a null argv or stages, fatal at run time. */
#ifdef __cplusplus
#define qo_run(...) qo_run_at(__VA_ARGS__, __LINE__, __FILE__, __func__)
#define qo_pipeline(...) qo_pipeline_at(__VA_ARGS__, __LINE__, __FILE__, __func__)
#else
/* The transparent union, seen by the fronts alone, does the conversions. */
typedef union {
    const char *const *as_declared;
    char **plain;
    const char **const_words;
    char *const *const_array;
} qo_argv_front_ __attribute__((transparent_union));
typedef union {
    const char *const *const *as_declared;
    char ***plain;
    const char ***const_words;
    char *const **const_arrays;
    char **const *const_stages;
    const char *const **const_words_arrays;
    const char **const *const_words_stages;
    char *const *const *const_arrays_stages;
} qo_stages_front_ __attribute__((transparent_union));
static inline int qo_run_front_(qo_argv_front_ argv,
                                const struct qo_run_options *options, int line,
                                const char *file, const char *func)
{
    return qo_run_at(argv.as_declared, options, line, file, func);
}
static inline int qo_pipeline_front_(qo_stages_front_ stages,
                                     const struct qo_run_options *options,
                                     int statuses[], int line, const char *file,
                                     const char *func)
{
    return qo_pipeline_at(stages.as_declared, options, statuses, line, file, func);
}
/* A transparent union also takes a void * and a null pointer constant for
 * a pointer member, so the first argument's own type is checked before:
 * as a parameter of a function type that sizeof never evaluates (the call
 * evaluates the argument, once), with an array of negative size, named
 * for what is wrong, when it is none of the union's members. Of the first
 * two arguments, __builtin_choose_expr picks the first whatever commas
 * its braces hold; the comma operator decays an array and drops a const. */
#define QO_FRONT_FIRST_(...) ((void)0, __builtin_choose_expr(1, __VA_ARGS__))
#define QO_FRONT_IS_(type) __builtin_types_compatible_p(__typeof__(qo_front_), type)
#define QO_FRONT_CHECK_(refusal, ok, ...)                                              \
    ((void)sizeof(void (*)(__typeof__(QO_FRONT_FIRST_(__VA_ARGS__)) qo_front_,         \
                           char refusal[(ok) ? 1 : -1])))
#define QO_ARGV_OK_                                                                    \
    (QO_FRONT_IS_(char **) || QO_FRONT_IS_(const char **) ||                           \
     QO_FRONT_IS_(char *const *) || QO_FRONT_IS_(const char *const *))
#define QO_STAGES_OK_                                                                  \
    (QO_FRONT_IS_(char ***) || QO_FRONT_IS_(const char ***) ||                         \
     QO_FRONT_IS_(char *const **) || QO_FRONT_IS_(char **const *) ||                   \
     QO_FRONT_IS_(const char *const **) || QO_FRONT_IS_(const char **const *) ||       \
     QO_FRONT_IS_(char *const *const *) || QO_FRONT_IS_(const char *const *const *))
#define QO_ARGV_CHECK_(...)                                                            \
    QO_FRONT_CHECK_(qo_argv_must_be_an_argument_vector, QO_ARGV_OK_, __VA_ARGS__)
#define QO_STAGES_CHECK_(...)                                                          \
    QO_FRONT_CHECK_(qo_stages_must_be_argument_vectors, QO_STAGES_OK_, __VA_ARGS__)
/* qo_pipeline() has three arguments, one too many for the builtin: the
 * preprocessor counts what it was given and drops the last, the statuses,
 * leaving the stages and the options. */
#define QO_FRONT_JOIN_(a, b) a##b
#define QO_FRONT_PASTE_(a, b) QO_FRONT_JOIN_(a, b)
#define QO_FRONT_BUT_LAST_(...)                                                        \
    QO_FRONT_PASTE_(QO_FRONT_BUT_LAST_, QO_FRONT_COUNT_(__VA_ARGS__))(__VA_ARGS__)
#define QO_FRONT_COUNT_(...)                                                           \
    QO_FRONT_COUNT_AT_(__VA_ARGS__, 64, 63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53,    \
                       52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41, 40, 39, 38, 37, \
                       36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, \
                       20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4,   \
                       3, 2, 1, 0)
#define QO_FRONT_COUNT_AT_(                                                            \
    _1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, _15, _16, _17, _18,   \
    _19, _20, _21, _22, _23, _24, _25, _26, _27, _28, _29, _30, _31, _32, _33, _34,    \
    _35, _36, _37, _38, _39, _40, _41, _42, _43, _44, _45, _46, _47, _48, _49, _50,    \
    _51, _52, _53, _54, _55, _56, _57, _58, _59, _60, _61, _62, _63, _64, n, ...)      \
    n
#define QO_FRONT_BUT_LAST_2(a, b) a
#define QO_FRONT_BUT_LAST_3(a, ...) a, QO_FRONT_BUT_LAST_2(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_4(a, ...) a, QO_FRONT_BUT_LAST_3(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_5(a, ...) a, QO_FRONT_BUT_LAST_4(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_6(a, ...) a, QO_FRONT_BUT_LAST_5(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_7(a, ...) a, QO_FRONT_BUT_LAST_6(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_8(a, ...) a, QO_FRONT_BUT_LAST_7(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_9(a, ...) a, QO_FRONT_BUT_LAST_8(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_10(a, ...) a, QO_FRONT_BUT_LAST_9(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_11(a, ...) a, QO_FRONT_BUT_LAST_10(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_12(a, ...) a, QO_FRONT_BUT_LAST_11(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_13(a, ...) a, QO_FRONT_BUT_LAST_12(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_14(a, ...) a, QO_FRONT_BUT_LAST_13(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_15(a, ...) a, QO_FRONT_BUT_LAST_14(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_16(a, ...) a, QO_FRONT_BUT_LAST_15(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_17(a, ...) a, QO_FRONT_BUT_LAST_16(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_18(a, ...) a, QO_FRONT_BUT_LAST_17(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_19(a, ...) a, QO_FRONT_BUT_LAST_18(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_20(a, ...) a, QO_FRONT_BUT_LAST_19(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_21(a, ...) a, QO_FRONT_BUT_LAST_20(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_22(a, ...) a, QO_FRONT_BUT_LAST_21(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_23(a, ...) a, QO_FRONT_BUT_LAST_22(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_24(a, ...) a, QO_FRONT_BUT_LAST_23(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_25(a, ...) a, QO_FRONT_BUT_LAST_24(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_26(a, ...) a, QO_FRONT_BUT_LAST_25(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_27(a, ...) a, QO_FRONT_BUT_LAST_26(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_28(a, ...) a, QO_FRONT_BUT_LAST_27(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_29(a, ...) a, QO_FRONT_BUT_LAST_28(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_30(a, ...) a, QO_FRONT_BUT_LAST_29(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_31(a, ...) a, QO_FRONT_BUT_LAST_30(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_32(a, ...) a, QO_FRONT_BUT_LAST_31(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_33(a, ...) a, QO_FRONT_BUT_LAST_32(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_34(a, ...) a, QO_FRONT_BUT_LAST_33(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_35(a, ...) a, QO_FRONT_BUT_LAST_34(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_36(a, ...) a, QO_FRONT_BUT_LAST_35(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_37(a, ...) a, QO_FRONT_BUT_LAST_36(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_38(a, ...) a, QO_FRONT_BUT_LAST_37(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_39(a, ...) a, QO_FRONT_BUT_LAST_38(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_40(a, ...) a, QO_FRONT_BUT_LAST_39(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_41(a, ...) a, QO_FRONT_BUT_LAST_40(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_42(a, ...) a, QO_FRONT_BUT_LAST_41(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_43(a, ...) a, QO_FRONT_BUT_LAST_42(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_44(a, ...) a, QO_FRONT_BUT_LAST_43(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_45(a, ...) a, QO_FRONT_BUT_LAST_44(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_46(a, ...) a, QO_FRONT_BUT_LAST_45(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_47(a, ...) a, QO_FRONT_BUT_LAST_46(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_48(a, ...) a, QO_FRONT_BUT_LAST_47(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_49(a, ...) a, QO_FRONT_BUT_LAST_48(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_50(a, ...) a, QO_FRONT_BUT_LAST_49(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_51(a, ...) a, QO_FRONT_BUT_LAST_50(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_52(a, ...) a, QO_FRONT_BUT_LAST_51(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_53(a, ...) a, QO_FRONT_BUT_LAST_52(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_54(a, ...) a, QO_FRONT_BUT_LAST_53(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_55(a, ...) a, QO_FRONT_BUT_LAST_54(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_56(a, ...) a, QO_FRONT_BUT_LAST_55(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_57(a, ...) a, QO_FRONT_BUT_LAST_56(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_58(a, ...) a, QO_FRONT_BUT_LAST_57(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_59(a, ...) a, QO_FRONT_BUT_LAST_58(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_60(a, ...) a, QO_FRONT_BUT_LAST_59(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_61(a, ...) a, QO_FRONT_BUT_LAST_60(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_62(a, ...) a, QO_FRONT_BUT_LAST_61(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_63(a, ...) a, QO_FRONT_BUT_LAST_62(__VA_ARGS__)
#define QO_FRONT_BUT_LAST_64(a, ...) a, QO_FRONT_BUT_LAST_63(__VA_ARGS__)
/* __extension__: -Wpedantic would tell of the union at every call. */
#define qo_run(...)                                                                    \
    (__extension__(QO_ARGV_CHECK_(__VA_ARGS__),                                        \
                   qo_run_front_(__VA_ARGS__, __LINE__, __FILE__, __func__)))
#define qo_pipeline(...)                                                               \
    (__extension__(QO_STAGES_CHECK_(QO_FRONT_BUT_LAST_(__VA_ARGS__)),                  \
                   qo_pipeline_front_(__VA_ARGS__, __LINE__, __FILE__, __func__)))
#endif
#define qo_system_output(slot, ...)                                                    \
    qo_system_output_at((slot), __LINE__, __FILE__, __func__, __VA_ARGS__)

#ifdef __cplusplus
}
#endif

#endif /* QO_COMMANDS_H */
