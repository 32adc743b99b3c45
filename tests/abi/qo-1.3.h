/* The parts of qo 1.3's qo.h that tests/abi/one_three.c uses, as 1.3 had
 * them: its struct qo_run_options (144 bytes on 64-bit systems, comments
 * left out) and the functions it calls. The program is built against this,
 * not the current qo.h, as a program built against 1.3 was. */
#ifndef QO_1_3_H
#define QO_1_3_H

#include <stddef.h>
#include <sys/types.h>

struct qo_run_options {
    const char *input;
    char **output;
    char **errors;
    int timeout_ms;
    const char *dir;
    int log_output;
    const char *const *env;
    const char *input_file;
    const char *output_file;
    unsigned flags;
    void *context;
    int (*on_output)(void *context, const char *line, size_t size);
    int (*on_errors)(void *context, const char *line, size_t size);
    ssize_t (*on_input)(void *context, char *buffer, size_t room);
    size_t *output_size;
    size_t *errors_size;
    char **why;
    int stop_signal;
    int grace_ms;
};

int qo_run_int(const char *const argv[], const struct qo_run_options *options, int line,
               const char *file);
int qo_pipeline_int(const char *const *const stages[],
                    const struct qo_run_options *options, int statuses[], int line,
                    const char *file);
void qo_free(char **slot, int line, const char *file);

#define qo_run(argv, options) qo_run_int((argv), (options), __LINE__, __FILE__)
#define qo_pipeline(stages, options, statuses)                                         \
    qo_pipeline_int((stages), (options), (statuses), __LINE__, __FILE__)
#define qo_free(slot) (qo_free)((slot), __LINE__, __FILE__)

#endif
