// The entries libqo.so keeps for programs built against the qo.h of 1.2 or
// 1.3, whose options were 144 bytes (on 64-bit systems): 1.3 gave meaning
// to fields that 1.2 required zero, so one struct serves both. Each entry
// copies what such a program allocated into the zeroed options of today,
// so that nothing beyond it is read. See qo_compat.cpp for 1.1's.
#if defined(qo_EXPORTS) || defined(qo_shared_EXPORTS)

#include "qo.h"

#include <cstddef>
#include <cstring>

namespace {

// The options as 1.3 had them, under their name, so that a tool comparing
// this library's interface with 1.3's compares the two structs field by
// field.
struct qo_run_options {
    const char *input;
    char **output;
    char **errors;
    int timeout_ms;
    const char *dir;
    int log_output;
    const char *const *env;
    const char *input_file;
    const char *output_file;
    unsigned flags;
    void *context;
    int (*on_output)(void *context, const char *line, size_t size);
    int (*on_errors)(void *context, const char *line, size_t size);
    ssize_t (*on_input)(void *context, char *buffer, size_t room);
    size_t *output_size;
    size_t *errors_size;
    char **why;
    int stop_signal;
    int grace_ms;
};

static_assert(offsetof(qo_run_options, grace_ms) ==
                  offsetof(::qo_run_options, grace_ms),
              "the options of today begin as 1.3's did");

// Outside this namespace qo_run_options could be either struct: the
// entries take the type of this one's address.
constexpr qo_run_options none{};

// The options of today, zero past what the program allocated.
::qo_run_options current(const qo_run_options *old) noexcept
{
    ::qo_run_options now{};
    if (old)
        memcpy(static_cast<void *>(&now), old, sizeof *old);
    return now;
}

int run(const char *const argv[], decltype(&none) options, int line,
        const char *file) noexcept
{
    const ::qo_run_options now = current(options);
    return qo_run_int(argv, &now, line, file);
}

int pipeline(const char *const *const stages[], decltype(&none) options, int statuses[],
             int line, const char *file) noexcept
{
    const ::qo_run_options now = current(options);
    return qo_pipeline_int(stages, &now, statuses, line, file);
}

} // namespace

// One entry per version: a tool that compares interfaces pairs them by
// name and version, which an alias of two versions would confuse.
extern "C" QO_API int run_int_1_2(const char *const argv[], decltype(&none) options,
                                  int line, const char *file) noexcept
{
    return run(argv, options, line, file);
}
__asm__(".symver run_int_1_2,qo_run_int@QO_1.2");

extern "C" QO_API int run_int_1_3(const char *const argv[], decltype(&none) options,
                                  int line, const char *file) noexcept
{
    return run(argv, options, line, file);
}
__asm__(".symver run_int_1_3,qo_run_int@QO_1.3");

extern "C" QO_API int pipeline_int_1_2(const char *const *const stages[],
                                       decltype(&none) options, int statuses[],
                                       int line, const char *file) noexcept
{
    return pipeline(stages, options, statuses, line, file);
}
__asm__(".symver pipeline_int_1_2,qo_pipeline_int@QO_1.2");

extern "C" QO_API int pipeline_int_1_3(const char *const *const stages[],
                                       decltype(&none) options, int statuses[],
                                       int line, const char *file) noexcept
{
    return pipeline(stages, options, statuses, line, file);
}
__asm__(".symver pipeline_int_1_3,qo_pipeline_int@QO_1.3");

#endif
