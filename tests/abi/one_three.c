/* A program as it was built against qo 1.3: its header, its calls bound to
 * the QO_1.3 names of libqo.so, its options the 144 bytes that header
 * gave them, set with the fields 1.3 added. The options end where a page
 * the program may not read begins: the library must read nothing past
 * what the program allocated. */
#define _GNU_SOURCE
#include "qo-1.3.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

__asm__(".symver qo_run_int,qo_run_int@QO_1.3");
__asm__(".symver qo_pipeline_int,qo_pipeline_int@QO_1.3");

static int failures;

static void expect(int ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "%s\n", what);
        failures++;
    }
}

static int count_line(void *context, const char *line, size_t size)
{
    (void)line;
    (void)size;
    ++*(int *)context;
    return 0;
}

/* Options at the very end of a readable page, the next one unreadable. */
static struct qo_run_options *options_at_a_wall(void)
{
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    char *two = mmap(NULL, 2 * page, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (two == MAP_FAILED || mprotect(two + page, page, PROT_NONE) != 0)
        return NULL;
    struct qo_run_options *o = (void *)(two + page - sizeof *o);
    memset(o, 0, sizeof *o);
    return o;
}

int main(void)
{
    struct qo_run_options *o = options_at_a_wall();
    if (!o)
        return 2;
    int lines = 0;
    char *out = NULL, *why = NULL;
    size_t size = 0;
    o->output = &out;
    o->output_size = &size;
    o->context = &lines;
    o->on_errors = count_line;
    o->why = &why;
    const char *argv[] = {"sh", "-c", "echo out; echo a >&2; echo b >&2", NULL};
    expect(qo_run(argv, o) == 0, "run: status");
    expect(out && strcmp(out, "out\n") == 0 && size == 4, "run: output");
    expect(lines == 2, "run: on_errors");
    expect(why && why[0] == '\0', "run: why");
    qo_free(&out);
    qo_free(&why);

    o->on_errors = NULL;
    o->timeout_ms = 100;
    o->stop_signal = SIGKILL;
    const char *sleeper[] = {"sleep", "5", NULL};
    const char *const *stages[] = {sleeper, NULL};
    int status = 0;
    qo_pipeline(stages, o, &status);
    expect(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL, "pipeline: stop_signal");
    qo_free(&out);
    qo_free(&why);
    return failures != 0;
}
