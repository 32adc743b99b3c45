// The command of a run as one line a shell reads back, for the log: each
// word quoted as the shell needs, the folder, the environment, the files,
// the descriptors and the rest of the setup as the shell would give them.
#include "run/qo_run_line_internal.h"
#include "run/streams/qo_run_io_internal.h"
#include "run/process/qo_run_setup_internal.h"
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

// The line as it grows, each addition costing what it adds: a command of
// 100,000 words, or a million groups, is written in time linear in it.
class Line {
  public:
    explicit Line(const Site &site) noexcept : site_(site) {}
    void add(const char *text) noexcept { text_.append(text, strlen(text), site_); }
    [[gnu::format(printf, 2, 3)]] void add_formatted(const char *format, ...) noexcept
    {
        va_list args, again;
        va_start(args, format);
        va_copy(again, args);
        const int n = vsnprintf(nullptr, 0, format, args);
        if (n > 0) {
            vsnprintf(text_.reserve(size_t(n), site_), size_t(n) + 1, format, again);
            text_.grow(size_t(n));
        }
        va_end(again);
        va_end(args);
    }
    bool after_word() const noexcept
    {
        return text_.size() > 0 && text_.data()[text_.size() - 1] != '(';
    }
    char *release() noexcept { return text_.release(site_); }
    const Site &site() const noexcept { return site_; }

  private:
    const Site &site_;
    qo_run_io::Buffer text_;
};

void append_word(Line &line, const char *word, bool first) noexcept
{
    char *shown = qo_str::shell_word(word, first);
    if (line.after_word())
        line.add(" ");
    line.add(shown);
    free(shown);
}

// Figures and options: words that need no quoting.
[[gnu::format(printf, 2, 3)]] void append_formatted(Line &line, const char *format,
                                                    ...) noexcept
{
    char word[64];
    va_list args;
    va_start(args, format);
    vsnprintf(word, sizeof word, format, args);
    va_end(args);
    append_word(line, word, false);
}

void append_and(Line &line) noexcept
{
    line.add(" &&");
}

// "cd DIR" would read an option from "-P" and search CDPATH for "DIR":
// "./" prevents both.
void append_cd(Line &line, const char *dir) noexcept
{
    append_word(line, "cd", true);
    char *path = nullptr;
    qo_asprintf(&path, "%s%s", dir[0] == '/' || dir[0] == '.' ? "" : "./", dir);
    append_word(line, path, false);
    free(path);
    append_and(line);
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
bool append_env(Line &line, const qo_run_options &o) noexcept
{
    const bool clear = o.flags & QO_RUN_CLEAR_ENV;
    size_t n = 0;
    while (o.env && o.env[n])
        n++;
    bool *const last = n ? last_of_name(o.env, n, line.site()) : nullptr;
    append_word(line, "env", true);
    if (clear)
        append_word(line, "-i", false);
    for (size_t i = 0; !clear && i < n; ++i)
        if (last[i] && !strchr(o.env[i], '=')) {
            append_word(line, "-u", false);
            append_word(line, o.env[i], false);
        }
    bool set = false;
    for (size_t i = 0; i < n; ++i)
        if (last[i] && strchr(o.env[i], '=')) {
            if (!set && o.env[i][0] == '-') // else an option
                append_word(line, "--", false);
            append_word(line, o.env[i], false);
            set = true;
        }
    free(last);
    return set;
}

void append_redirect(Line &line, const char *op, const char *file) noexcept
{
    char *shown = qo_str::shell_word(file, false);
    line.add_formatted(" %s%s", op, shown);
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
void append_ulimit(Line &line, const qo_rlimit &l, const LimitName &name) noexcept
{
    char soft[24], hard[24];
    limit_figure(l.soft, name.unit, soft);
    limit_figure(l.hard, name.unit, hard);
    append_word(line, "ulimit", true);
    if (l.soft != l.hard)
        append_word(line, "-S", false);
    append_formatted(line, "-%c", name.letter);
    append_word(line, soft, false);
    append_and(line);
    if (l.soft == l.hard)
        return;
    append_word(line, "ulimit", true);
    append_word(line, "-H", false);
    append_formatted(line, "-%c", name.letter);
    append_word(line, hard, false);
    append_and(line);
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

void append_shell_settings(Line &line, const qo_run_options &o) noexcept
{
    if (o.flags & QO_RUN_UMASK) {
        append_word(line, "umask", true);
        append_formatted(line, "%03o", o.umask & 0777U);
        append_and(line);
    }
    for (const qo_rlimit *l = o.limits; l && l->resource != -1; ++l)
        if (const LimitName *name = ulimit_name(*l))
            append_ulimit(line, *l, *name);
}

// The other limits, by util-linux's prlimit, which counts bytes: "prlimit
// --nproc=10:20".
bool append_prlimit(Line &line, const qo_run_options &o) noexcept
{
    bool any = false;
    for (const qo_rlimit *l = o.limits; l && l->resource != -1; ++l) {
        const LimitName *name = qo_run_setup::limit_name(l->resource);
        if (!name || ulimit_name(*l))
            continue;
        if (!any)
            append_word(line, "prlimit", true);
        any = true;
        char option[24] = {}, soft[24], hard[24];
        const char *resource = name->name + strlen("RLIMIT_");
        for (size_t i = 0; resource[i] && i + 1 < sizeof option; ++i)
            option[i] =
                static_cast<char>(tolower(static_cast<unsigned char>(resource[i])));
        limit_figure(l->soft, Unit::count, soft);
        limit_figure(l->hard, Unit::count, hard);
        if (l->soft == l->hard)
            append_formatted(line, "--%s=%s", option, soft);
        else
            append_formatted(line, "--%s=%s:%s", option, soft, hard);
    }
    return any;
}

// ---- The process's setup ------------------------------------------------

// util-linux's setpriv sets the ids and groups as the run does, and nothing
// else (sudo would bring an environment and groups of its own).
void append_user(Line &line, const qo_run_options &o) noexcept
{
    append_word(line, "setpriv", true);
    append_formatted(line, "--reuid=%u", static_cast<unsigned>(o.uid));
    append_formatted(line, "--regid=%u", static_cast<unsigned>(o.gid));
    if (o.groups_count == 0 || !o.groups) {
        append_word(line, "--clear-groups", false);
        return;
    }
    Line groups(line.site());
    for (size_t i = 0; i < o.groups_count; ++i)
        groups.add_formatted("%s%u",
                             i ? "," : "--groups=", static_cast<unsigned>(o.groups[i]));
    char *word = groups.release();
    append_word(line, word, false);
    free(word);
}

// The commands that set up the process for the next one, in the order it
// does so itself: its session, limits, niceness, then the user, which may
// drop the privilege the others need. False when there is none.
bool append_wrappers(Line &line, const qo_run_options &o) noexcept
{
    bool any = o.flags & QO_RUN_NEW_SESSION;
    if (any)
        append_word(line, "setsid", true);
    any = append_prlimit(line, o) || any;
    if (o.nice != 0) {
        append_word(line, "nice", true);
        append_word(line, "-n", false);
        append_formatted(line, "%d", o.nice);
        any = true;
    }
    if (o.flags & QO_RUN_USER) {
        append_user(line, o);
        any = true;
    }
    return any;
}

// The caller's descriptors: stdin to the first stage, stdout from the last,
// stderr from each ("2>&1" after the same stdout), and those passed on
// ("3<&3": a shell passes its own anyway, but the line says which).
void append_descriptors(Line &line, size_t stage, size_t count,
                        const qo_run_options &o) noexcept
{
    const bool output = stage + 1 == count && (o.flags & QO_RUN_OUTPUT_FD);
    if (stage == 0 && (o.flags & QO_RUN_INPUT_FD))
        line.add_formatted(" <&%d", o.input_fd);
    if (output)
        line.add_formatted(" >&%d", o.output_fd);
    if ((o.flags & QO_RUN_ERRORS_FD) && output && o.errors_fd == o.output_fd)
        line.add(" 2>&1");
    else if (o.flags & QO_RUN_ERRORS_FD)
        line.add_formatted(" 2>&%d", o.errors_fd);
    for (const int *fd = o.pass_fds; fd && *fd != -1; ++fd)
        line.add_formatted(" %d<&%d", *fd, *fd);
}

void append_stage(Line &line, const char *const argv[],
                  const qo_run_options &o) noexcept
{
    const bool wrapped = append_wrappers(line, o);
    const bool set = changes_env(o) && append_env(line, o);
    // The program before the command would read "-x" as an option of its own.
    if ((wrapped || changes_env(o)) && !set && argv[0][0] == '-')
        append_word(line, "--", false);
    for (size_t i = 0; argv[i]; ++i)
        append_word(line, argv[i], i == 0 && !changes_env(o) && !wrapped);
}

// " # contained in /sys/fs/cgroup/jobs, memory.max=104857600": a group of
// its own, where it is made unless in the caller's group, and its limits.
void append_contained(Line &line, const qo_run_options &o) noexcept
{
    line.add(" # contained");
    if (o.cgroup) {
        char *folder = qo_str::shell_word(o.cgroup, false);
        line.add_formatted(" in %s", folder);
        free(folder);
    }
    const qo_cgroup_limits *l = o.cgroup_limits;
    if (l && l->memory_max)
        line.add_formatted(", memory.max=%llu", l->memory_max);
    if (l && l->pids_max)
        line.add_formatted(", pids.max=%llu", l->pids_max);
    if (l && l->cpu_weight)
        line.add_formatted(", cpu.weight=%u", l->cpu_weight);
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
    Line line(site);
    const bool around = (o.dir || has_shell_settings(o)) && (input_file || output_file);
    if (around)
        line.add("(");
    if (o.dir)
        append_cd(line, o.dir);
    append_shell_settings(line, o);
    for (size_t i = 0; i < stages.count; ++i) {
        if (i > 0)
            line.add(" |");
        append_stage(line, stages.argv[i], o);
        if (i == 0 && input_file && !around)
            append_redirect(line, "<", input_file);
        append_descriptors(line, i, stages.count, o);
    }
    if (around)
        line.add(")");
    if (input_file && around)
        append_redirect(line, "<", input_file);
    if (output_file)
        append_redirect(line, o.flags & QO_RUN_APPEND ? ">>" : ">", output_file);
    if (o.flags & QO_RUN_CGROUP)
        append_contained(line, o);
    return line.release();
}
