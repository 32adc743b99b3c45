// The shell command runners: qo_system() through the C library's system(),
// qo_system_output() through the runner of qo_run().
#include "qo.h"
#include "exit/qo_err_internal.h"
#include "log/qo_log_internal.h"
#include "run/qo_run_internal.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

// The command line, or the end of the process when it cannot be built.
[[gnu::format(printf, 2, 0)]] char *command_line(const qo_err::Site &site,
                                                 const char *format, va_list ap,
                                                 const char *failure) noexcept
{
    char *command = nullptr;
    if (vasprintf(&command, format, ap) < 0)
        qo_err::fail(site, -1, failure);
    return command;
}

} // namespace

extern "C" int qo_system_int(int line, const char *file, const char *format,
                             ...) noexcept
{
    const qo_err::Site site{line, file, "qo_system_int"};
    qo_err::require(format, site, "qo_system: NULL format");
    va_list ap;
    va_start(ap, format);
    char *command =
        command_line(site, format, ap, "Unable to alloc memory in qo_system_int");
    va_end(ap);
    qo_log::flush(); // the command's output lands after the entries
    // Handing the line to the shell is what this routine is for.
    const int status = system(command); // NOLINT(cert-env33-c)
    // The caller learns of this from the status; the log line is for
    // whoever reads the log later, so it names the runner, not the caller.
    if (status < 0)
        qo_log(4, "Unable to execute %s", command);
    qo_free(&command);
    return status;
}

namespace {

[[gnu::format(printf, 3, 0)]] int system_output(char **slot, const qo_err::Site &site,
                                                const char *format, va_list ap) noexcept
{
    qo_err::require(slot, site, "qo_system_output: NULL slot");
    qo_err::require(format, site, "qo_system_output: NULL format");
    char *command =
        command_line(site, format, ap, "Unable to alloc memory in qo_system_output");
    const char *const argv[] = {"/bin/sh", "-c", "--", command, nullptr};
    qo_run_options options{};
    options.output = slot;
    const qo_run::Outcome outcome =
        qo_run::run(argv, options, site, "qo_system_output");
    free(command);
    errno = outcome.error;
    return outcome.status;
}

} // namespace

extern "C" int qo_system_output_at(char **slot, int line, const char *file,
                                   const char *func, const char *format, ...) noexcept
{
    va_list ap;
    va_start(ap, format);
    const int status = system_output(
        slot, qo_run::site_of(line, file, func, "qo_system_output_at"), format, ap);
    va_end(ap);
    return status;
}

extern "C" int qo_system_output_int(char **slot, int line, const char *file,
                                    const char *format, ...) noexcept
{
    va_list ap;
    va_start(ap, format);
    const int status =
        system_output(slot, {line, file, "qo_system_output_int"}, format, ap);
    va_end(ap);
    return status;
}
