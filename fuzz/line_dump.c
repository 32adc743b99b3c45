/* What a command started by a shell line was given, for fuzz_run_shell_line:
 * its arguments, environment, folder, umask and descriptors 0-9, written to
 * reports/<pid> beside this program's own file. It runs nothing. */
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

static void put(FILE *out, const char *text)
{
    fprintf(out, "%zu:", strlen(text));
    fwrite(text, 1, strlen(text), out);
}

int main(int argc, char **argv)
{
    char here[PATH_MAX], path[PATH_MAX + 64], target[PATH_MAX], figure[32];
    const ssize_t n = readlink("/proc/self/exe", here, sizeof here - 1);
    if (n <= 0)
        return 125;
    here[n] = '\0';
    *strrchr(here, '/') = '\0';
    snprintf(path, sizeof path, "%s/reports/%d", here, (int)getpid());
    FILE *out = fopen(path, "we");
    if (!out)
        return 125;
    fprintf(out, "%d ", argc);
    for (int i = 0; i < argc; i++)
        put(out, argv[i]);
    int count = 0;
    while (environ[count])
        count++;
    fprintf(out, "%d ", count);
    for (int i = 0; i < count; i++)
        put(out, environ[i]);
    put(out, getcwd(target, sizeof target) ? target : "?");
    const mode_t mask = umask(0);
    snprintf(figure, sizeof figure, "%03o", (unsigned)mask);
    put(out, figure);
    for (int fd = 0; fd < 10; fd++) {
        snprintf(figure, sizeof figure, "/proc/self/fd/%d", fd);
        const ssize_t size = readlink(figure, target, sizeof target - 1);
        target[size > 0 ? size : 0] = '\0';
        put(out, target);
        const int flags = fcntl(fd, F_GETFL);
        snprintf(figure, sizeof figure, "%d",
                 flags < 0 ? -1 : flags & (O_ACCMODE | O_APPEND));
        put(out, figure);
    }
    return fclose(out) == 0 ? 0 : 125;
}
