/* The header must serve C11 callers: this file is compiled as C with the
 * project's warnings, and uses every front once. Run as
 * "c_header_test echo c": it runs its own arguments. */
#define _POSIX_C_SOURCE 200809L
#include "qo.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* The version macros work in #if, where a program tests them. */
#if QO_VERSION_NUM < 0x010200 || !QO_VERSION_AT_LEAST(1, 1, 9) ||                      \
    !QO_VERSION_AT_LEAST(QO_VERSION_MAJOR, QO_VERSION_MINOR, QO_VERSION_PATCH) ||      \
    QO_VERSION_AT_LEAST(QO_VERSION_MAJOR, QO_VERSION_MINOR, QO_VERSION_PATCH + 1) ||   \
    QO_VERSION_AT_LEAST(QO_VERSION_MAJOR, QO_VERSION_MINOR + 1, 0) ||                  \
    QO_VERSION_AT_LEAST(QO_VERSION_MAJOR + 1, 0, 0)
#error "QO_VERSION_NUM or QO_VERSION_AT_LEAST"
#endif

int main(int argc, char **argv)
{
    char *s = NULL;
    qo_log(0, "from C %d", 1);
    qo_asprintf(&s, "%s-%d", "c", 11);
    qo_strcat(&s, "%c", '!');
    qo_str_reset(&s, "%s", "again");
    qo_setenv("QO_C_HEADER", s);
    qo_free(&s);
    char *block = qo_malloc(4);
    free(block);
    FILE *in = fmemopen("x\n", 2, "r");
    qo_getline(&s, in);
    fclose(in);
    int ok = strcmp(qo_version(), QO_VERSION) == 0 && s && strcmp(s, "x\n") == 0 &&
             strcmp(getenv("QO_C_HEADER"), "again") == 0;
    qo_free(&s);
    struct qo_run_options options = {0};
    options.output = &s;
    /* The run's entries name the function that ran it. */
    char log[] = "/tmp/qo-c-header-XXXXXX";
    const int log_fd = mkstemp(log);
    qo_log_open(log, 5);
    ok = ok && argc == 3 && qo_run(argv + 1, &options) == 0 && strcmp(s, "c\n") == 0;
    qo_free(&s);
    qo_log_close();
    FILE *entries = fdopen(log_fd, "r");
    unlink(log);
    ok = ok && entries && qo_getline(&s, entries) > 0 && strstr(s, "->main#");
    qo_free(&s);
    if (entries)
        fclose(entries);
    ok = ok && qo_run((const char *[]){"echo", "c", NULL}, &options) == 0 &&
         strcmp(s, "c\n") == 0;
    qo_free(&s);
    ok = ok && qo_system_output(&s, "echo %d", 11) == 0 && strcmp(s, "11\n") == 0;
    qo_free(&s);
    s = qo_status_text(0);
    ok = ok && strcmp(s, "exited with status 0") == 0;
    qo_free(&s);
    return ok ? 0 : 1;
}
