/* Shell lines run at once from one thread: each one a held job, and one
 * poll() over the jobs' descriptors tells which of them to serve. Each line
 * a command prints comes out as it arrives, led by the command's number
 * ("[2] done": the second one's stdout to stdout, its stderr to stderr).
 *     parallel [-x] [-t SECONDS] COMMAND...
 * -t: a deadline for each command (SECONDS may be 0.5); -x: the first that
 * fails stops the others. The commands get /dev/null as stdin. Exit status
 * 0 when every command exited with 0; 1 when one did not (failed, killed,
 * timed out, stopped, not started: stderr says which); 2 for bad usage.
 * Build it against an installed qo with
 *     cc parallel.c $(pkg-config --cflags --libs qo) -o parallel
 * and try ./parallel -x 'sleep 5' 'sleep 0.1; exit 3' 'echo hi'. */
#define _POSIX_C_SOURCE 200809L /* getopt(), writev() in plain C11 */
#include <qo.h>

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/uio.h>
#include <unistd.h>

/* One command: its number and the slot for why it could not run or be
 * waited for. The job keeps pointers to both (the context and the why
 * slot) until it has ended: they must outlive it, as here. */
struct task {
    int n;
    char *why;
    struct qo_job *job; /* NULL once ended and freed, or never started */
};

/* "[n] " and the line in one writev(): lines of several commands never mix.
 * A piece that comes without its line feed (a stream's last, or a piece of
 * a line longer than QO_RUN_LINE_MAX) gets one. A failed write (the reader
 * gone, as in parallel ... | head -1: SIGPIPE is ignored for it) stops
 * that command. */
static int put(int fd, const struct task *task, const char *line, size_t size)
{
    char prefix[16];
    const int length = snprintf(prefix, sizeof prefix, "[%d] ", task->n);
    const int ended = size > 0 && line[size - 1] == '\n';
    struct iovec parts[] = {
        {prefix, (size_t)length}, {(void *)line, size}, {"\n", ended ? 0 : 1}};
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
    int stop_at_failure = 0, timeout_ms = 0, opt;
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
    struct pollfd *fds = calloc((size_t)count, sizeof *fds); /* -1: skipped */
    if (!tasks || !fds)
        return 1;
    int failed = 0, running = 0;
    for (int i = 0; i < count; i++) {
        struct task *t = &tasks[i];
        struct qo_run_options options = {0};
        options.timeout_ms = timeout_ms;
        options.context = t;
        options.on_output = on_output;
        options.on_errors = on_errors;
        options.why = &t->why;
        t->n = i + 1;
        const char *sh[] = {"sh", "-c", argv[optind + i], NULL};
        t->job = failed && stop_at_failure ? NULL : qo_start(sh, &options);
        fds[i].fd = t->job ? qo_job_fd(t->job) : -1;
        fds[i].events = POLLIN;
        running += t->job != NULL;
        if (!t->job && t->why) {
            fprintf(stderr, "[%d] %s\n", t->n, t->why);
            failed = 1;
        }
    }

    for (int stopped = 0; running > 0;) {
        /* -x, once: the others get SIGTERM, SIGKILL a second later, and
         * each ends as its next serve finds it. */
        for (int i = 0; i < count && failed && stop_at_failure && !stopped; i++)
            if (tasks[i].job)
                qo_job_stop(tasks[i].job);
        stopped = failed && stop_at_failure;
        if (poll(fds, (nfds_t)count, -1) < 0) {
            if (errno == EINTR)
                continue;
            perror("poll");
            return 1;
        }
        for (int i = 0; i < count; i++) {
            struct task *t = &tasks[i];
            if (fds[i].fd < 0 || !fds[i].revents || !qo_job_serve(t->job, 0))
                continue;
            /* It has ended: its status, and errno tells a deadline or a stop. */
            const int status = qo_job_wait(t->job, 0, NULL), error = errno;
            qo_job_free(t->job);
            t->job = NULL;
            fds[i].fd = -1;
            running--;
            if (status == 0)
                continue;
            char *outcome = qo_status_text(status);
            fprintf(stderr, "[%d] %s%s\n", t->n,
                    error == ETIMEDOUT   ? "timed out, "
                    : error == ECANCELED ? "stopped, "
                                         : "",
                    status == -1 ? t->why : outcome);
            qo_free(&outcome);
            failed = 1;
        }
    }
    for (int i = 0; i < count; i++)
        qo_free(&tasks[i].why);
    free(tasks);
    free(fds);
    return failed;
}
