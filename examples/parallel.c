/* Shell lines run at once from one thread: each one a held job in one job
 * set, which hands back each job as it ends. Each line
 * a command prints comes out as it arrives, led by the command's number
 * ("[2] done": the second one's stdout to stdout, its stderr to stderr).
 *     parallel [-x] [-t SECONDS] COMMAND...
 * -t: a deadline for each command (SECONDS may be 0.5); -x: the first that
 * fails stops the others. The commands get /dev/null as stdin. Exit status
 * 0 when every command exited with 0; 1 when one did not (failed, killed,
 * timed out, stopped, not started: stderr says which, as the job tells
 * its end); 2 for bad usage.
 * Build it against an installed qo with
 *     cc parallel.c $(pkg-config --cflags --libs qo) -o parallel
 * and try ./parallel -x 'sleep 5' 'sleep 0.1; exit 3' 'echo hi'. */
#define _POSIX_C_SOURCE 200809L /* getopt(), writev() in plain C11 */
#include <qo.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

/* One command: what leads its lines ("[2] ") and its job (NULL once it
 * has ended, or when it never started). The job keeps a pointer to the
 * task, its context, until it has ended. */
struct task {
    char prefix[16];
    struct qo_job *job;
};

/* "[n] " and the line in one writev(): lines of several commands never mix.
 * A piece that comes without its line feed (a stream's last, or a piece of
 * a line longer than QO_RUN_LINE_MAX) gets one. A failed write (the reader
 * gone, as in parallel ... | head -1: SIGPIPE is ignored for it) stops
 * that command. */
static int put(int fd, struct task *task, const char *line, size_t size)
{
    struct iovec parts[] = {{task->prefix, strlen(task->prefix)},
                            {(void *)line, size},
                            {"\n", size == 0 || line[size - 1] != '\n'}};
    return writev(fd, parts, 3) < 0 ? -1 : 0;
}
static int on_output(void *task, const char *line, size_t size)
{
    return put(1, task, line, size);
}
static int on_errors(void *task, const char *line, size_t size)
{
    return put(2, task, line, size);
}

int main(int argc, char **argv)
{
    int stop_at_failure = 0, timeout_ms = 0, failed = 0, opt;
    signal(SIGPIPE, SIG_IGN); /* the commands get it back at their default */
    /* "+": the options end at the first command, as POSIX has it. */
    while ((opt = getopt(argc, argv, "+xt:")) != -1) {
        const double seconds = opt == 't' ? strtod(optarg, NULL) : 0;
        if (opt == 'x')
            stop_at_failure = 1;
        else if (seconds > 0 && seconds < 2e6)
            timeout_ms = seconds < 0.001 ? 1 : (int)(seconds * 1000);
        else
            optind = argc; /* a bad option or deadline: the usage below */
    }
    const int count = argc - optind;
    if (count <= 0) {
        fprintf(stderr, "usage: parallel [-x] [-t SECONDS] COMMAND...\n");
        return 2;
    }
    struct task *tasks = calloc((size_t)count, sizeof *tasks);
    struct qo_jobs *set = qo_jobs_new();
    for (int i = 0; i < count && !(failed && stop_at_failure); i++) {
        struct qo_run_options o = {.timeout_ms = timeout_ms, .context = &tasks[i],
                                   .on_output = on_output, .on_errors = on_errors};
        const char *sh[] = {"sh", "-c", argv[optind + i], NULL};
        snprintf(tasks[i].prefix, sizeof tasks[i].prefix, "[%d] ", i + 1);
        tasks[i].job = qo_start(sh, &o);
        if (!tasks[i].job)
            fprintf(stderr, "%s%s\n", tasks[i].prefix, strerror(errno));
        failed |= !tasks[i].job;
        qo_jobs_add(set, tasks[i].job); /* NULL: refused, nothing to add */
    }
    /* Each job as it ends, until none is left (ENOENT); -x, at the first
     * failure, stops the others: SIGTERM, then SIGKILL a second later. */
    for (struct qo_job *job; (job = qo_jobs_wait(set, -1));) {
        struct task *t = tasks;
        while (t->job != job)
            t++;
        /* It tells its end: "deadline reached: sh: killed by signal 15
         * (Terminated)", "sh: exited with status 3". */
        char *outcome = qo_job_describe(job);
        if (qo_job_wait(job, 0, NULL) != 0) {
            fprintf(stderr, "%s%s\n", t->prefix, outcome);
            failed = 1;
        }
        free(outcome);
        qo_job_free(job);
        t->job = NULL;
        for (int i = 0; i < count && failed && stop_at_failure; i++)
            qo_job_stop(tasks[i].job);
    }
    qo_jobs_free(set);
    free(tasks);
    return failed;
}
