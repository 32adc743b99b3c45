/* A long command shown as it goes: dd reports how far it got about once a
 * second (status=progress), each report led by \r so that a terminal
 * redraws it in place. qo_run hands dd's stderr to a callback as it
 * arrives: with QO_RUN_PARTIAL_LINES, the text of a line not ended yet
 * comes as soon as dd stops writing, so the report dd has just written is
 * seen at once, not when the next one ends its line. The callback draws a
 * progress bar of its own from it, on a terminal; the last report, which
 * dd ends with \n, draws the final one. Ctrl-C at the terminal ends dd,
 * and the program says so.
 * Build it against an installed qo with
 *     cc progress.c $(pkg-config --cflags --libs qo) -o progress
 * and run it as ./progress [MIB]: MIB mebibytes of zeros (default 200000,
 * a few seconds on a fast machine). */
#include <qo.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

struct progress {
    unsigned long long total, copied; /* bytes */
    int on_terminal;                  /* stdout is one: bars are drawn */
    int drawn;                        /* a bar is on the screen */
};

static void draw(struct progress *p, const char *rate)
{
    static const char done[] = "##############################";
    static const char to_do[] = "------------------------------";
    const int width = (int)sizeof done - 1;
    const int filled = (int)(p->copied * (unsigned long long)width / p->total);
    printf("\r[%.*s%.*s] %3d%%  %-14s", filled, done, width - filled, to_do,
           (int)(p->copied * 100 / p->total), rate);
    fflush(stdout); /* no line feed yet: a terminal's stdout holds the line */
    p->drawn = 1;
}

/* A piece of dd's stderr: the \r that ends the report before, a report
 * such as "52428800 bytes (52 MB, 50 MiB) copied, 1 s, 52.4 MB/s" as dd
 * wrote it (no line end yet: it is the line so far), or the summary at the
 * end ("10+0 records in\n", and the last report ended by \n). line is not
 * NUL-terminated: size says where it ends. */
static int on_errors(void *context, const char *line, size_t size)
{
    struct progress *p = context;
    char text[256];
    const size_t kept = size < sizeof text ? size : sizeof text - 1;
    memcpy(text, line, kept);
    text[kept] = '\0';
    text[strcspn(text, "\r\n")] = '\0';

    char *end;
    const unsigned long long bytes = strtoull(text, &end, 10);
    if (end == text || strncmp(end, " bytes", 6) != 0)
        return 0; /* not a report */
    p->copied = bytes;
    if (p->on_terminal) {
        const char *rate = strrchr(text, ',');
        draw(p, rate ? rate + 2 : "");
    }
    return 0; /* go on: non-zero would stop dd */
}

int main(int argc, char **argv)
{
    const unsigned long mib = argc > 1 ? strtoul(argv[1], NULL, 10) : 200000;
    if (mib == 0) {
        fprintf(stderr, "usage: progress [MIB]\n");
        return 2;
    }
    char count[32];
    snprintf(count, sizeof count, "count=%lu", mib);
    const char *const dd[] = {
        "dd", "if=/dev/zero", "of=/dev/null", "bs=1M", count, "status=progress", NULL};
    /* dd's reports in English, whatever the user's locale. */
    const char *const c_locale[] = {"LC_ALL=C", NULL};

    struct progress p = {(unsigned long long)mib << 20, 0, isatty(STDOUT_FILENO), 0};
    struct qo_run_options options = {0};
    options.flags = QO_RUN_PARTIAL_LINES;
    options.env = c_locale;
    options.context = &p;
    options.on_errors = on_errors;
    const int status = qo_run(dd, &options);

    if (p.drawn)
        putchar('\n');
    char *outcome = qo_status_text(status);
    printf("copied %llu MiB, dd %s\n", p.copied >> 20, outcome);
    qo_free(&outcome);
    return status == 0 ? 0 : 1;
}
