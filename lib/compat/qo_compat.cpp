// The entries libqo.so keeps for programs built against an older qo.h,
// each under the version node that program was linked to. A static library
// is always linked with the header it came with, so it has none of them.
//
// QO_1.0, as 1.1 left it: the options ended at log_output, and a slot was
// filled whatever it held, so a program could keep its previous result
// there and free it later. The entries give the current runner slots of
// their own and store its results in the caller's afterwards.
//
// QO_1.2 and QO_1.3: in qo_compat_1_3.cpp.
#if defined(qo_EXPORTS) || defined(qo_shared_EXPORTS)

#include "qo.h"
#include "exit/qo_err_internal.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

// The options as 1.1 had them, under 1.1's name, so that a tool comparing
// this library's interface with 1.1's compares the two structs field by
// field.
struct qo_run_options {
    const char *input;
    char **output;
    char **errors;
    int timeout_ms;
    const char *dir;
    int log_output;
};

// What the entry below reads when the caller gives no options. Outside
// this namespace qo_run_options could be either struct: the entry takes
// the type of this one's address.
constexpr qo_run_options none{};

// The options of today for old, with the entry's own slots.
::qo_run_options current(const qo_run_options &old, char **output,
                         char **errors) noexcept
{
    ::qo_run_options now{};
    now.input = old.input;
    now.output = old.output ? output : nullptr;
    // The same slot for both asks for the two streams merged.
    now.errors = !old.errors ? nullptr : old.errors == old.output ? output : errors;
    now.timeout_ms = old.timeout_ms;
    now.dir = old.dir;
    now.log_output = old.log_output;
    return now;
}

// The run's results into the caller's slots, whatever they held.
void hand_over(const qo_run_options &old, char *output, char *errors) noexcept
{
    if (old.output)
        *old.output = output;
    if (old.errors && old.errors != old.output)
        *old.errors = errors;
}

} // namespace

extern "C" QO_API int run_int_1_1(const char *const argv[], decltype(&none) options,
                                  int line, const char *file) noexcept
{
    const auto &old = options ? *options : none;
    char *output = nullptr;
    char *errors = nullptr;
    const ::qo_run_options now = current(old, &output, &errors);
    const int status = qo_run_int(argv, &now, line, file);
    hand_over(old, output, errors);
    return status;
}
__asm__(".symver run_int_1_1,qo_run_int@QO_1.0");

extern "C" QO_API QO_PRINTF(4, 5) int system_output_int_1_1(char **slot, int line,
                                                            const char *file,
                                                            const char *format,
                                                            ...) noexcept
{
    const qo_err::Site site{line, file, "qo_system_output_int"};
    qo_err::require(slot, site, "qo_system_output: NULL slot");
    qo_err::require(format, site, "qo_system_output: NULL format");
    char *command = nullptr;
    va_list ap;
    va_start(ap, format);
    const int length = vasprintf(&command, format, ap);
    va_end(ap);
    if (length < 0)
        qo_err::fail(site, -1, "Unable to alloc memory in qo_system_output_int");
    char *output = nullptr;
    const int status = qo_system_output_int(&output, line, file, "%s", command);
    const int error = errno;
    free(command);
    *slot = output;
    errno = error;
    return status;
}
__asm__(".symver system_output_int_1_1,qo_system_output_int@QO_1.0");

#endif
