/* A program as it was built against qo 1.1: its header, its calls bound to
 * the QO_1.0 names of libqo.so (the only ones 1.1 had), and slots used as
 * that header allowed: a slot is filled "whatever it held", so a result may
 * stay in it across calls, still the program's to free. Built with
 * AddressSanitizer, which ends it at the first use of a string the library
 * released. */
#define _POSIX_C_SOURCE 200809L
#include "qo-1.1.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

__asm__(".symver qo_run_int,qo_run_int@QO_1.0");
__asm__(".symver qo_system_output_int,qo_system_output_int@QO_1.0");

static int failures;

static void expect(const char *what, const char *got, const char *want)
{
    if (!got || strcmp(got, want) != 0) {
        fprintf(stderr, "%s: \"%s\", not \"%s\"\n", what, got ? got : "(null)", want);
        failures++;
    }
}

/* Each run leaves its output (and errors, when a slot of their own takes
 * them) in the slots, which still hold the previous run's. */
struct run_case {
    const char *script;
    int merged;   /* errors into the output slot */
    int separate; /* errors into a slot of their own */
    int status;
    const char *output, *errors;
};

int main(void)
{
    static const struct run_case cases[] = {
        {"echo one", 0, 0, 0, "one\n", NULL},
        {"echo out; echo err >&2", 1, 0, 0, "out\nerr\n", NULL},
        {"echo out; echo err >&2; exit 3", 0, 1, 3 << 8, "out\n", "err\n"},
        {"echo two", 0, 1, 0, "two\n", ""},
    };
    char *output = qo_malloc(8), *errors = NULL;
    strcpy(output, "mine");
    char *kept_output = output, *kept_errors = errors;
    const char *last_errors = NULL;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        const struct run_case *c = &cases[i];
        struct qo_run_options o = {0};
        o.output = &output;
        o.errors = c->merged ? &output : c->separate ? &errors : NULL;
        const char *argv[] = {"sh", "-c", c->script, NULL};
        if (qo_run(argv, &o) != c->status) {
            fprintf(stderr, "%s: wrong status\n", c->script);
            failures++;
        }
        expect(c->script, output, c->output);
        if (c->separate)
            expect(c->script, errors, c->errors);
        /* The previous results are intact, and freed by the program. */
        expect("previous output", kept_output, i ? cases[i - 1].output : "mine");
        free(kept_output);
        if (c->separate) {
            if (kept_errors)
                expect("previous errors", kept_errors, last_errors);
            free(kept_errors);
            kept_errors = errors;
            last_errors = c->errors;
        }
        kept_output = output;
    }
    /* A command that cannot be started fills the slot with "". */
    const char *missing[] = {"/nonexistent/qo-1.1", NULL};
    struct qo_run_options o = {0};
    o.output = &output;
    if (qo_run(missing, &o) != -1) {
        fprintf(stderr, "a missing command ran\n");
        failures++;
    }
    expect("missing command", output, "");
    expect("previous output", kept_output, "two\n");
    free(kept_output);
    kept_output = output;

    if (qo_system_output(&output, "echo %s", "shell") != 0)
        failures++;
    expect("qo_system_output", output, "shell\n");
    expect("previous output", kept_output, "");
    free(kept_output);
    free(output);
    free(errors);
    if (failures)
        return 1;
    puts("a program built against 1.1 kept its results in its slots");
    return 0;
}
