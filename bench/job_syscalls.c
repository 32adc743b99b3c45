/* A run of n jobs of /bin/true with their stdout captured, one after
 * another, for counting the system calls a job makes under strace:
 *
 *   strace -f -c -o counts job_syscalls held 100
 *
 * "held": qo_start + qo_job_wait + qo_job_free; "run": qo_run; "hand": the
 * loop a caller would write itself (pipe, posix_spawn, pidfd, poll, read,
 * wait, close); "polled": a held job served when its qo_job_fd is readable,
 * nothing captured, as an event loop drives it. Divide the counts by n,
 * less those of a run of 0. */
#define _GNU_SOURCE
#include "qo.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

static const char *const true_argv[] = {"/bin/true", NULL};

static int held(void)
{
    char *out = NULL;
    struct qo_run_options o = {0};
    o.output = &out;
    struct qo_job *job = qo_start(true_argv, &o);
    int status = job ? qo_job_wait(job, -1, NULL) : -1;
    qo_job_free(job);
    free(out);
    return status;
}

static int polled(void)
{
    struct qo_job *job = qo_start(true_argv, NULL);
    if (!job)
        return -1;
    struct pollfd p = {qo_job_fd(job), POLLIN, 0};
    while (!qo_job_serve(job, 0))
        poll(&p, 1, -1);
    int status = qo_job_wait(job, -1, NULL);
    qo_job_free(job);
    return status;
}

static int run(void)
{
    char *out = NULL;
    struct qo_run_options o = {0};
    o.output = &out;
    int status = qo_run(true_argv, &o);
    free(out);
    return status;
}

static int hand(void)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    pid_t pid;
    int error = posix_spawn(&pid, true_argv[0], &actions, NULL,
                            (char *const *)true_argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (error) {
        close(fds[0]);
        return -1;
    }
    int pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
    struct pollfd p[2] = {{fds[0], POLLIN, 0}, {pidfd, POLLIN, 0}};
    char buf[4096];
    for (int open = 1; open;) {
        poll(p, 2, -1);
        if (p[0].revents && read(fds[0], buf, sizeof buf) <= 0) {
            open = 0;
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(pidfd);
    close(fds[0]);
    return status;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s held|run|hand|polled N\n", argv[0]);
        return 2;
    }
    int (*job)(void) = strcmp(argv[1], "run") == 0      ? run
                       : strcmp(argv[1], "hand") == 0   ? hand
                       : strcmp(argv[1], "polled") == 0 ? polled
                                                        : held;
    for (int i = atoi(argv[2]); i > 0; --i)
        if (job() != 0)
            return 1;
    return 0;
}
