// The command of a run as one line a shell reads back, for the log: each
// word quoted as the shell needs, the folder, the environment and the
// files as the shell would give them.
#include "qo_run_line_internal.h"
#include "qo_str_internal.h"

#include <cstdlib>
#include <cstring>

using qo_run::Site;
using qo_run::Stages;

namespace {

void append_word(char **line, const char *word, bool first, const Site &site) noexcept
{
    char *shown = qo_str::shell_word(word, first);
    const bool after_word = *line && (*line)[strlen(*line) - 1] != '(';
    qo_strcat_int(line, site.line, site.file, "%s%s", after_word ? " " : "", shown);
    free(shown);
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
    qo_strcat_int(line, site.line, site.file, " &&");
}

bool changes_env(const qo_run_options &o) noexcept
{
    return (o.flags & QO_RUN_CLEAR_ENV) || (o.env && o.env[0]);
}

// An emptied environment has nothing to remove.
void append_env(char **line, const qo_run_options &o, const Site &site) noexcept
{
    const bool clear = o.flags & QO_RUN_CLEAR_ENV;
    append_word(line, "env", true, site);
    if (clear)
        append_word(line, "-i", false, site);
    for (const char *const *change = o.env; !clear && change && *change; ++change)
        if (!strchr(*change, '=')) {
            append_word(line, "-u", false, site);
            append_word(line, *change, false, site);
        }
    for (const char *const *change = o.env; change && *change; ++change)
        if (strchr(*change, '='))
            append_word(line, *change, false, site);
}

void append_redirect(char **line, const char *op, const char *file,
                     const Site &site) noexcept
{
    char *shown = qo_str::shell_word(file, false);
    qo_strcat_int(line, site.line, site.file, " %s%s", op, shown);
    free(shown);
}

void append_stage(char **line, const char *const argv[], const qo_run_options &o,
                  const Site &site) noexcept
{
    if (changes_env(o))
        append_env(line, o, site);
    for (size_t i = 0; argv[i]; ++i)
        append_word(line, argv[i], i == 0 && !changes_env(o), site);
}

// The files are opened in the caller's folder: with a dir, the redirections
// go around a subshell that changes folder only inside. Without one, the
// input is the first stage's and the output the last one's.
} // namespace

char *qo_run_line::command_line(const Stages &stages, const qo_run_options &o,
                                const Site &site) noexcept
{
    char *line = nullptr;
    const bool around = o.dir && (o.input_file || o.output_file);
    if (around)
        qo_strcat_int(&line, site.line, site.file, "(");
    if (o.dir)
        append_cd(&line, o.dir, site);
    for (size_t i = 0; i < stages.count; ++i) {
        if (i > 0)
            qo_strcat_int(&line, site.line, site.file, " |");
        append_stage(&line, stages.argv[i], o, site);
        if (i == 0 && o.input_file && !around)
            append_redirect(&line, "<", o.input_file, site);
    }
    if (around)
        qo_strcat_int(&line, site.line, site.file, ")");
    if (o.input_file && around)
        append_redirect(&line, "<", o.input_file, site);
    if (o.output_file)
        append_redirect(&line, o.flags & QO_RUN_APPEND ? ">>" : ">", o.output_file,
                        site);
    return line;
}
