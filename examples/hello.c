/* qo from C: build a string, quote it for the shell, run a command, run
 * one without a shell and capture what it prints, and log what happened.
 * Build it against an installed qo with
 *     cc hello.c $(pkg-config --cflags --libs qo) -o hello
 * and run it as ./hello [LOGFILE]. */
#include <qo.h>

#include <stdio.h>

int main(int argc, char **argv)
{
    qo_log_open(argc > 1 ? argv[1] : "hello.log", 4);

    char *name = NULL;
    qo_asprintf(&name, "report for %s", "Zarq's blog");
    qo_strcat(&name, " (%d items)", 3);

    char *word = qo_shell_quote(name);
    int status = qo_system("printf '%%s\\n' %s", word);
    qo_log(1, "printed %s, status %d", word, status);

    /* No shell, no quoting: each argument reaches the command as it is. */
    char *out = NULL;
    struct qo_run_options options = {0};
    options.output = &out;
    options.timeout_ms = 5000;
    int ran = qo_run((const char *[]){"printf", "[%s]\n", name, NULL}, &options);
    char *outcome = qo_status_text(ran);
    qo_strip_spaces(out);
    printf("captured %s, %s\n", out, outcome);
    if (ran != 0)
        status = ran;
    qo_free(&outcome);
    qo_free(&out);

    qo_free(&word);
    qo_free(&name);
    qo_log_close();
    return status == 0 ? 0 : 1;
}
