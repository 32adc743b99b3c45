/* Compiled alone, never run, as C and as C++: the fronts take every kind
 * of argument vector a program has at hand without a cast, and
 * QO_BAD_ARGV=n picks a call that must not compile. */
#include "qo.h"

#include <stddef.h>

int main(int argc, char **argv)
{
    const char *const fixed[] = {"true", NULL};
    char *const held[] = {NULL};
    const char *listed[] = {"ls", "-l", NULL};
    const char **words = listed;
    char **stages[] = {argv + 1, NULL};
    const char **word_stages[] = {words, NULL};
    const char *const *fixed_stages[] = {fixed, NULL};
    int status = argc > 1 ? qo_run(argv + 1, NULL) : 0;
#ifndef __cplusplus
    status += qo_run((const char *[]){"ls", "-l", NULL}, NULL);
#endif
    status += qo_run(fixed, NULL) + qo_run(held, NULL) + qo_run(words, NULL);
    status += qo_pipeline(stages, NULL, NULL) + qo_pipeline(word_stages, NULL, NULL);
    status += qo_pipeline(fixed_stages, NULL, NULL);
    qo_run(argv, NULL);
#if QO_BAD_ARGV == 1
    status += qo_run("ls", NULL);
#elif QO_BAD_ARGV == 2
    status += qo_run(&argc, NULL);
#elif QO_BAD_ARGV == 3
    status += qo_run(stages, NULL);
#elif QO_BAD_ARGV == 4
    status += qo_pipeline(argv, NULL, NULL);
#endif
    return status;
}
