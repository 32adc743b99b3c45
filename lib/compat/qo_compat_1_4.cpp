// The entries libqo.so keeps for programs built against the qo.h of 1.4.
// 1.5 carved its fields out of the room 1.4 reserved, the size unchanged:
// such a program left them zero, so its options are today's as they are,
// and the entries pass them on. They exist so that a program that sets
// the new fields binds the QO_1.5 names, and cannot load a library that
// would ignore them. See qo_compat.cpp for 1.1's, qo_compat_1_3.cpp for
// 1.2's and 1.3's.
#if defined(qo_EXPORTS) || defined(qo_shared_EXPORTS)

#include "qo.h"

// One entry per version: a tool that compares interfaces pairs them by
// name and version, which an alias of two versions would confuse.
extern "C" QO_API int run_int_1_4(const char *const argv[],
                                  const qo_run_options *options, int line,
                                  const char *file) noexcept
{
    return qo_run_int(argv, options, line, file);
}
__asm__(".symver run_int_1_4,qo_run_int@QO_1.4");

extern "C" QO_API int pipeline_int_1_4(const char *const *const stages[],
                                       const qo_run_options *options, int statuses[],
                                       int line, const char *file) noexcept
{
    return qo_pipeline_int(stages, options, statuses, line, file);
}
__asm__(".symver pipeline_int_1_4,qo_pipeline_int@QO_1.4");

extern "C" QO_API qo_job *start_int_1_4(const char *const argv[],
                                        const qo_run_options *options, int line,
                                        const char *file) noexcept
{
    return qo_start_int(argv, options, line, file);
}
__asm__(".symver start_int_1_4,qo_start_int@QO_1.4");

extern "C" QO_API qo_job *pipeline_start_int_1_4(const char *const *const stages[],
                                                 const qo_run_options *options,
                                                 int line, const char *file) noexcept
{
    return qo_pipeline_start_int(stages, options, line, file);
}
__asm__(".symver pipeline_start_int_1_4,qo_pipeline_start_int@QO_1.4");

#endif
