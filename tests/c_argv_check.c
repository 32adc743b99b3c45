/* Compiled alone, never run, as C and as C++: the fronts take every kind
 * of argument vector a program has at hand without a cast, and
 * QO_BAD_ARGV=n picks a call that must not compile. Calls 1 to 9 are
 * refused in both languages; from 10 on, C alone refuses them (C++ takes a
 * null pointer constant for any pointer). */
#include "qo.h"

#include <stddef.h>

int main(int argc, char **argv)
{
    const char *const fixed[] = {"true", NULL};
    char *const held[] = {NULL};
    const char *listed[] = {"ls", "-l", NULL};
    const char **words = listed;
    char **const kept = argv;
    char **stages[] = {argv + 1, NULL};
    const char **word_stages[] = {words, NULL};
    const char *const *fixed_stages[] = {fixed, NULL};
    void *opaque = argv;
    const void *sealed = argv;
    static struct qo_run_options options;
    int statuses[2];
    int status = argc > 1 ? qo_run(argv + 1, NULL) : 0;
    status += qo_run(fixed, NULL) + qo_run(held, NULL) + qo_run(words, NULL);
    status += qo_run(kept, &options) + qo_run(argc > 2 ? argv : kept, NULL);
    status += qo_pipeline(stages, NULL, NULL) + qo_pipeline(word_stages, NULL, NULL);
    status += qo_pipeline(fixed_stages + 0, &options, statuses);
    qo_run(argv, NULL); /* a statement of its own, its status unused */
    qo_job_free(qo_start(words, &options));
    qo_job_free(qo_pipeline_start(stages, NULL));
#ifndef __cplusplus
    /* Compound literals, whose commas the preprocessor sees, as the
     * vectors and as the options. */
    status += qo_run((const char *[]){"ls", "-l", NULL},
                     &(struct qo_run_options){.timeout_ms = 1, .grace_ms = 2});
    status +=
        qo_pipeline((const char *const *[]){(const char *[]){"ls", "-l", NULL},
                                            (const char *[]){"wc", "-l", NULL}, NULL},
                    &(struct qo_run_options){.timeout_ms = 1, .grace_ms = 2}, statuses);
    qo_job_free(qo_start((char *[]){"make", "-k", NULL}, NULL));
    qo_job_free(qo_pipeline_start((char **[]){argv, argv, NULL}, NULL));
#endif
    (void)opaque, (void)sealed;
#if QO_BAD_ARGV == 1
    status += qo_run("ls", NULL);
#elif QO_BAD_ARGV == 2
    status += qo_run(&argc, NULL);
#elif QO_BAD_ARGV == 3
    status += qo_run(stages, NULL);
#elif QO_BAD_ARGV == 4
    status += qo_pipeline(argv, NULL, NULL);
#elif QO_BAD_ARGV == 5
    status += qo_run(opaque, NULL);
#elif QO_BAD_ARGV == 6
    status += qo_run(sealed, NULL);
#elif QO_BAD_ARGV == 7
    status += qo_pipeline(opaque, NULL, NULL);
#elif QO_BAD_ARGV == 8
    qo_job_free(qo_start(sealed, NULL));
#elif QO_BAD_ARGV == 9
    qo_job_free(qo_pipeline_start(words, NULL));
#elif QO_BAD_ARGV == 10
    status += qo_run(0, NULL);
#elif QO_BAD_ARGV == 11
    status += qo_run(NULL, NULL);
#elif QO_BAD_ARGV == 12
    status += qo_pipeline(NULL, &options, statuses);
#elif QO_BAD_ARGV == 13
    qo_job_free(qo_start(0, NULL));
#elif QO_BAD_ARGV == 14
    qo_job_free(qo_pipeline_start(NULL, NULL));
#endif
    return status;
}
