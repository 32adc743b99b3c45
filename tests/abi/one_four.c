/* A program as it was built against qo 1.4, its calls bound to the QO_1.4
 * names of libqo.so: the room 1.5 carved its fields out of was reserved
 * and zero, and each entry runs the command as today's does. */
#define _GNU_SOURCE
#include "qo.h"

#include <string.h>

__asm__(".symver qo_run_int,qo_run_int@QO_1.4");
__asm__(".symver qo_pipeline_int,qo_pipeline_int@QO_1.4");
__asm__(".symver qo_start_int,qo_start_int@QO_1.4");
__asm__(".symver qo_pipeline_start_int,qo_pipeline_start_int@QO_1.4");

int main(void)
{
    struct qo_run_options o;
    memset(&o, 0, sizeof o);
    char *out = NULL;
    o.output = &out;
    const char *echo[] = {"echo", "a", NULL}, *upper[] = {"tr", "a", "A", NULL};
    const char *const *stages[] = {echo, upper, NULL};
    int ok = qo_run(echo, &o) == 0 && strcmp(out, "a\n") == 0;
    ok = ok && qo_pipeline(stages, &o, NULL) == 0 && strcmp(out, "A\n") == 0;
    struct qo_job *job = qo_start(echo, &o);
    ok = ok && qo_job_wait(job, -1, NULL) == 0 && strcmp(out, "a\n") == 0;
    qo_job_free(job);
    job = qo_pipeline_start(stages, &o);
    ok = ok && qo_job_wait(job, -1, NULL) == 0 && strcmp(out, "A\n") == 0;
    qo_job_free(job);
    qo_free(&out);
    return !ok;
}
