/*
 * qo: checked memory, a debug log, a fatal exit, string helpers and a
 * shell command runner for Linux programs.
 *
 * Calls that allocate never hand a failure back: when the C library
 * refuses, they write a level-1 line to the debug log, print a one-line
 * message on standard error and end the process through qo_exit(). The log
 * line names the caller's file and line for the routines that take a call
 * site (those with a macro front below); the string helpers take none and
 * name this library's own source file. Callers use every result without
 * testing it.
 *
 * A NULL where a routine needs a slot, a stream, a format or a text ends the
 * process the same way, with a line naming the routine and the argument:
 * "qo_shell_quote: NULL input". The routines that accept NULL say so.
 *
 * Strings travel through "slots": the address of the caller's char *
 * variable. A routine that produces text stores a fresh heap string in the
 * slot; the caller owns it from then on and gives it back with qo_free(),
 * which also sets the variable to NULL. Start every slot as NULL.
 *
 * Most routines take the caller's call site (line, file). Use the macro
 * fronts each part defines, which fill it in from __LINE__ and __FILE__.
 */
#ifndef QO_H
#define QO_H

#include "qo/common.h"

/* The version of this header. The build takes the project's version from
 * here, so it is the one place to change it. */
#define QO_VERSION_MAJOR 1
#define QO_VERSION_MINOR 5
#define QO_VERSION_PATCH 0
#define QO_VERSION "1.5.0"
/* The same as one number, 0xMMmmpp, for tests in #if: 0x010200 is 1.2.0. */
#define QO_VERSION_NUM                                                                 \
    ((QO_VERSION_MAJOR << 16) | (QO_VERSION_MINOR << 8) | QO_VERSION_PATCH)
/* True when this header is at least version major.minor.patch:
 * #if QO_VERSION_AT_LEAST(1, 2, 0) ... #endif */
#define QO_VERSION_AT_LEAST(major, minor, patch)                                       \
    (QO_VERSION_NUM >= (((major) << 16) | ((minor) << 8) | (patch)))

/* The version of the library linked in, as QO_VERSION reads: a program
 * built against one header and run against another shared library can
 * tell the two apart. */
#ifdef __cplusplus
extern "C" QO_API const char *qo_version(void) QO_NOEXCEPT;
#else
QO_API const char *qo_version(void) QO_NOEXCEPT;
#endif

/* The parts, one per subsystem. */
#include "qo/log.h"      /* the debug log */
#include "qo/exit.h"     /* the fatal exit */
#include "qo/memory.h"   /* checked memory and text building */
#include "qo/strings.h"  /* string helpers */
#include "qo/commands.h" /* qo_system(), qo_run(), qo_pipeline() */
#include "qo/job.h"      /* commands you hold: qo_start(), qo_job_*() */
#include "qo/jobs.h"     /* job sets: qo_jobs_*() */

#endif /* QO_H */
