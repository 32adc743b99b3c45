/* qo's common definitions, which every part of qo.h starts from. Programs
 * include <qo.h> (or <qo.hpp>), not the parts. */
#ifndef QO_COMMON_H
#define QO_COMMON_H

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
#define QO_NOEXCEPT noexcept
#else
#define QO_NOEXCEPT
#endif

/* The shared library exports only what is marked so. */
#define QO_API __attribute__((visibility("default")))
#define QO_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#define QO_NORETURN __attribute__((noreturn))

#endif /* QO_COMMON_H */
