/* A folder saved as a gzip'd tar archive: tar | gzip into a file that is
 * replaced whole, and only when both ended well, so a failed snapshot
 * never leaves half an archive where the last good one was.
 *     snapshot [-t SECONDS] FOLDER ARCHIVE
 * -t: a deadline for the whole run. Every failure is told on stderr, as
 * the job tells its end ("deadline reached: tar: killed by signal 15
 * (Terminated) | gzip: killed by signal 15 (Terminated)"), with what tar
 * said. Exit status 0 once the archive is in place, 1 when it is not,
 * 130 when Ctrl-C ended it, 2 for bad usage.
 * Build it against an installed qo with
 *     cc snapshot.c $(pkg-config --cflags --libs qo) -o snapshot
 * and try ./snapshot /etc etc.tgz, then ./snapshot -t 0.01 /usr usr.tgz. */
#define _POSIX_C_SOURCE 200809L /* getopt() in plain C11 */
#include <qo.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    struct qo_run_options o = {.flags = QO_RUN_REPLACE};
    if (getopt(argc, argv, "t:") == 't')
        o.timeout_ms = (int)(strtod(optarg, NULL) * 1000);
    if (argc - optind != 2 || o.timeout_ms < 0) {
        fprintf(stderr, "usage: snapshot [-t SECONDS] FOLDER ARCHIVE\n");
        return 2;
    }
    const char *tar[] = {"tar", "-C", argv[optind], "-cf", "-", ".", NULL};
    const char *gzip[] = {"gzip", "-c", NULL};
    const char *const *stages[] = {tar, gzip, NULL};
    char *why = NULL, *errors = NULL;
    o.output_file = argv[optind + 1];
    o.errors = &errors; /* what tar or gzip said, told with the outcome */
    o.why = &why;
    struct qo_job *job = qo_pipeline_start(stages, &o);
    if (!job) { /* nothing started: the folder's archive left as it was */
        fprintf(stderr, "snapshot: %s\n", why);
        free(why);
        return 1;
    }
    const int status = qo_job_wait(job, -1, NULL);
    char *outcome = qo_job_describe(job);
    if (status == 0)
        printf("%s saved in %s (%lld ms)\n", argv[optind], o.output_file,
               qo_job_duration_ms(job));
    else
        fprintf(stderr, "snapshot: %s\n%s", outcome, errors);
    const int code = status == 0 ? 0 : qo_job_interrupted(job) ? 130 : 1;
    free(outcome);
    free(errors);
    free(why);
    qo_job_free(job);
    return code;
}
