// The command of a run as one line a shell reads back, for the log: each
// word quoted as the shell needs, the folder, the environment, the files,
// the descriptors and the rest of the setup as the shell would give them.
#include "run/qo_run_line_internal.h"
#include "run/parts/qo_run_setup_internal.h"
#include "str/qo_str_internal.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>

using qo_run::Site;
using qo_run::Stages;
using qo_run_setup::LimitName;
using qo_run_setup::Unit;

namespace {

void append_word(char **line, const char *word, bool first, const Site &site) noexcept
{
    char *shown = qo_str::shell_word(word, first);
    const bool after_word = *line && (*line)[strlen(*line) - 1] != '(';
    qo_strcat_int(line, site.line, site.file, "%s%s", after_word ? " " : "", shown);
    free(shown);
}

// Figures and options: words that need no quoting.
[[gnu::format(printf, 3, 4)]] void append_formatted(char **line, const Site &site,
                                                    const char *format, ...) noexcept
{
    char word[64];
    va_list args;
    va_start(args, format);
    vsnprintf(word, sizeof word, format, args);
    va_end(args);
    append_word(line, word, false, site);
}

void append_and(char **line, const Site &site) noexcept
{
    qo_strcat_int(line, site.line, site.file, " &&");
}

// "cd DIR" would read an option from "-P" and search CDPATH for "DIR":
// "./" prevents both.
void append_cd(char **line, const char *dir, const Site &site) noexcept
{
    append_word(line, "cd", true, site);
    char *path = nullptr;
    qo_asprintf(&path, "%s%s", dir[0] == '/' || dir[0] == '.' ? "" : "./", dir);
    append_word(line, path, false, site);
    free(path);
    append_and(line, site);
}

bool changes_env(const qo_run_options &o) noexcept
{
    return (o.flags & QO_RUN_CLEAR_ENV) || (o.env && o.env[0]);
}

bool same_name(const char *a, const char *b) noexcept
{
    const size_t n = strcspn(a, "=");
    return n == strcspn(b, "=") && strncmp(a, b, n) == 0;
}

// By name, then by place in the list.
int by_name_then_place(const void *a, const void *b) noexcept
{
    const char *const *x = *static_cast<const char *const *const *>(a);
    const char *const *y = *static_cast<const char *const *const *>(b);
    const size_t nx = strcspn(*x, "="), ny = strcspn(*y, "=");
    const int order = memcmp(*x, *y, nx < ny ? nx : ny);
    if (order != 0 || nx != ny)
        return order != 0 ? order : nx < ny ? -1 : 1;
    return x < y ? -1 : x > y ? 1 : 0;
}

// For each of the n changes, whether it is the last to name its variable.
// The run applies the changes in order, where env takes its removals
// before its settings: only the last change of each name is written.
bool *last_of_name(const char *const *env, size_t n, const Site &site) noexcept
{
    auto **order = static_cast<const char *const **>(
        qo_run::allocate(n * sizeof(const char *const *), site));
    for (size_t i = 0; i < n; ++i)
        order[i] = env + i;
    qsort(order, n, sizeof *order, by_name_then_place);
    auto *last = static_cast<bool *>(qo_run::allocate(n, site));
    for (size_t i = 0; i < n; ++i)
        last[order[i] - env] = i + 1 == n || !same_name(*order[i], *order[i + 1]);
    free(order);
    return last;
}

// An emptied environment has nothing to remove. True when a setting was
// written, after which env reads no more options.
bool append_env(char **line, const qo_run_options &o, const Site &site) noexcept
{
    const bool clear = o.flags & QO_RUN_CLEAR_ENV;
    size_t n = 0;
    while (o.env && o.env[n])
        n++;
    bool *const last = n ? last_of_name(o.env, n, site) : nullptr;
    append_word(line, "env", true, site);
    if (clear)
        append_word(line, "-i", false, site);
    for (size_t i = 0; !clear && i < n; ++i)
        if (last[i] && !strchr(o.env[i], '=')) {
            append_word(line, "-u", false, site);
            append_word(line, o.env[i], false, site);
        }
    bool set = false;
    for (size_t i = 0; i < n; ++i)
        if (last[i] && strchr(o.env[i], '=')) {
            if (!set && o.env[i][0] == '-') // else an option
                append_word(line, "--", false, site);
            append_word(line, o.env[i], false, site);
            set = true;
        }
    free(last);
    return set;
}

void append_redirect(char **line, const char *op, const char *file,
                     const Site &site) noexcept
{
    char *shown = qo_str::shell_word(file, false);
    qo_strcat_int(line, site.line, site.file, " %s%s", op, shown);
    free(shown);
}

// ---- Limits -------------------------------------------------------------

// A limit as ulimit counts it, in its unit; false when it has no exact
// figure there (dash counts blocks of 512 bytes, bash of 1024: only 0 and
// unlimited read the same in both).
bool limit_figure(rlim_t value, Unit unit, char (&room)[24]) noexcept
{
    if (value == RLIM_INFINITY) {
        snprintf(room, sizeof room, "unlimited");
        return true;
    }
    if ((unit == Unit::kib && value % 1024 != 0) ||
        (unit == Unit::blocks && value != 0))
        return false;
    snprintf(room, sizeof room, "%llu",
             static_cast<unsigned long long>(unit == Unit::kib ? value / 1024 : value));
    return true;
}

// The name of a limit that ulimit gives exactly, or NULL.
const LimitName *ulimit_name(const qo_rlimit &l) noexcept
{
    const LimitName *name = qo_run_setup::limit_name(l.resource);
    char figure[24];
    if (!name || !name->letter || !limit_figure(l.soft, name->unit, figure) ||
        !limit_figure(l.hard, name->unit, figure))
        return nullptr;
    return name;
}

// "ulimit -c 0 &&", or soft then hard ("ulimit -S -n 64 && ulimit -H -n
// 128 &&"), the order in which lowering both works.
void append_ulimit(char **line, const qo_rlimit &l, const LimitName &name,
                   const Site &site) noexcept
{
    char soft[24], hard[24];
    limit_figure(l.soft, name.unit, soft);
    limit_figure(l.hard, name.unit, hard);
    append_word(line, "ulimit", true, site);
    if (l.soft != l.hard)
        append_word(line, "-S", false, site);
    append_formatted(line, site, "-%c", name.letter);
    append_word(line, soft, false, site);
    append_and(line, site);
    if (l.soft == l.hard)
        return;
    append_word(line, "ulimit", true, site);
    append_word(line, "-H", false, site);
    append_formatted(line, site, "-%c", name.letter);
    append_word(line, hard, false, site);
    append_and(line, site);
}

// What the shell itself takes on, for every stage: "umask 077 && ulimit
// -c 0 &&".
bool has_shell_settings(const qo_run_options &o) noexcept
{
    bool any = o.flags & QO_RUN_UMASK;
    for (const qo_rlimit *l = o.limits; l && l->resource != -1; ++l)
        any = any || ulimit_name(*l);
    return any;
}

void append_shell_settings(char **line, const qo_run_options &o,
                           const Site &site) noexcept
{
    if (o.flags & QO_RUN_UMASK) {
        append_word(line, "umask", true, site);
        append_formatted(line, site, "%03o", o.umask & 0777U);
        append_and(line, site);
    }
    for (const qo_rlimit *l = o.limits; l && l->resource != -1; ++l)
        if (const LimitName *name = ulimit_name(*l))
            append_ulimit(line, *l, *name, site);
}

// The other limits, by util-linux's prlimit, which counts bytes: "prlimit
// --nproc=10:20".
bool append_prlimit(char **line, const qo_run_options &o, const Site &site) noexcept
{
    bool any = false;
    for (const qo_rlimit *l = o.limits; l && l->resource != -1; ++l) {
        const LimitName *name = qo_run_setup::limit_name(l->resource);
        if (!name || ulimit_name(*l))
            continue;
        if (!any)
            append_word(line, "prlimit", true, site);
        any = true;
        char option[24] = {}, soft[24], hard[24];
        const char *resource = name->name + strlen("RLIMIT_");
        for (size_t i = 0; resource[i] && i + 1 < sizeof option; ++i)
            option[i] =
                static_cast<char>(tolower(static_cast<unsigned char>(resource[i])));
        limit_figure(l->soft, Unit::count, soft);
        limit_figure(l->hard, Unit::count, hard);
        if (l->soft == l->hard)
            append_formatted(line, site, "--%s=%s", option, soft);
        else
            append_formatted(line, site, "--%s=%s:%s", option, soft, hard);
    }
    return any;
}

// ---- The process's setup ------------------------------------------------

// util-linux's setpriv sets the ids and groups as the run does, and nothing
// else (sudo would bring an environment and groups of its own).
void append_user(char **line, const qo_run_options &o, const Site &site) noexcept
{
    append_word(line, "setpriv", true, site);
    append_formatted(line, site, "--reuid=%u", static_cast<unsigned>(o.uid));
    append_formatted(line, site, "--regid=%u", static_cast<unsigned>(o.gid));
    if (o.groups_count == 0 || !o.groups) {
        append_word(line, "--clear-groups", false, site);
        return;
    }
    char *groups = nullptr;
    for (size_t i = 0; i < o.groups_count; ++i)
        qo_strcat_int(&groups, site.line, site.file, "%s%u",
                      i ? "," : "--groups=", static_cast<unsigned>(o.groups[i]));
    append_word(line, groups, false, site);
    free(groups);
}

// The commands that set up the process for the next one, in the order it
// does so itself: its session, limits, niceness, then the user, which may
// drop the privilege the others need. False when there is none.
bool append_wrappers(char **line, const qo_run_options &o, const Site &site) noexcept
{
    bool any = o.flags & QO_RUN_NEW_SESSION;
    if (any)
        append_word(line, "setsid", true, site);
    any = append_prlimit(line, o, site) || any;
    if (o.nice != 0) {
        append_word(line, "nice", true, site);
        append_word(line, "-n", false, site);
        append_formatted(line, site, "%d", o.nice);
        any = true;
    }
    if (o.flags & QO_RUN_USER) {
        append_user(line, o, site);
        any = true;
    }
    return any;
}

// The caller's descriptors: stdin to the first stage, stdout from the last,
// stderr from each ("2>&1" after the same stdout), and those passed on
// ("3<&3": a shell passes its own anyway, but the line says which).
void append_descriptors(char **line, size_t stage, size_t count,
                        const qo_run_options &o, const Site &site) noexcept
{
    const bool output = stage + 1 == count && (o.flags & QO_RUN_OUTPUT_FD);
    if (stage == 0 && (o.flags & QO_RUN_INPUT_FD))
        qo_strcat_int(line, site.line, site.file, " <&%d", o.input_fd);
    if (output)
        qo_strcat_int(line, site.line, site.file, " >&%d", o.output_fd);
    if ((o.flags & QO_RUN_ERRORS_FD) && output && o.errors_fd == o.output_fd)
        qo_strcat_int(line, site.line, site.file, " 2>&1");
    else if (o.flags & QO_RUN_ERRORS_FD)
        qo_strcat_int(line, site.line, site.file, " 2>&%d", o.errors_fd);
    for (const int *fd = o.pass_fds; fd && *fd != -1; ++fd)
        qo_strcat_int(line, site.line, site.file, " %d<&%d", *fd, *fd);
}

void append_stage(char **line, const char *const argv[], const qo_run_options &o,
                  const Site &site) noexcept
{
    const bool wrapped = append_wrappers(line, o, site);
    const bool set = changes_env(o) && append_env(line, o, site);
    // The program before the command would read "-x" as an option of its own.
    if ((wrapped || changes_env(o)) && !set && argv[0][0] == '-')
        append_word(line, "--", false, site);
    for (size_t i = 0; argv[i]; ++i)
        append_word(line, argv[i], i == 0 && !changes_env(o) && !wrapped, site);
}

// " # contained in /sys/fs/cgroup/jobs, memory.max=104857600": a group of
// its own, where it is made unless in the caller's group, and its limits.
void append_contained(char **line, const qo_run_options &o, const Site &site) noexcept
{
    qo_strcat_int(line, site.line, site.file, " # contained");
    if (o.cgroup) {
        char *folder = qo_str::shell_word(o.cgroup, false);
        qo_strcat_int(line, site.line, site.file, " in %s", folder);
        free(folder);
    }
    const qo_cgroup_limits *l = o.cgroup_limits;
    if (l && l->memory_max)
        qo_strcat_int(line, site.line, site.file, ", memory.max=%llu", l->memory_max);
    if (l && l->pids_max)
        qo_strcat_int(line, site.line, site.file, ", pids.max=%llu", l->pids_max);
    if (l && l->cpu_weight)
        qo_strcat_int(line, site.line, site.file, ", cpu.weight=%u", l->cpu_weight);
}

// The files are opened in the caller's folder and with its umask and
// limits: with any of these, the redirections go around a subshell that
// changes them only inside. Without one, the input is the first stage's
// and the output the last one's. The caller's descriptors win over the
// files.
} // namespace

char *qo_run_line::command_line(const Stages &stages, const qo_run_options &o,
                                const Site &site) noexcept
{
    const char *input_file = o.flags & QO_RUN_INPUT_FD ? nullptr : o.input_file;
    const char *output_file = o.flags & QO_RUN_OUTPUT_FD ? nullptr : o.output_file;
    char *line = nullptr;
    const bool around = (o.dir || has_shell_settings(o)) && (input_file || output_file);
    if (around)
        qo_strcat_int(&line, site.line, site.file, "(");
    if (o.dir)
        append_cd(&line, o.dir, site);
    append_shell_settings(&line, o, site);
    for (size_t i = 0; i < stages.count; ++i) {
        if (i > 0)
            qo_strcat_int(&line, site.line, site.file, " |");
        append_stage(&line, stages.argv[i], o, site);
        if (i == 0 && input_file && !around)
            append_redirect(&line, "<", input_file, site);
        append_descriptors(&line, i, stages.count, o, site);
    }
    if (around)
        qo_strcat_int(&line, site.line, site.file, ")");
    if (input_file && around)
        append_redirect(&line, "<", input_file, site);
    if (output_file)
        append_redirect(&line, o.flags & QO_RUN_APPEND ? ">>" : ">", output_file, site);
    if (o.flags & QO_RUN_CGROUP)
        append_contained(&line, o, site);
    return line;
}
