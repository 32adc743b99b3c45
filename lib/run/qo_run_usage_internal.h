// What the stages of a run used, as the outcome entry tells it. Internal
// to the library.
#pragma once

#include "run/base/qo_run_base_internal.h"

#include <cstddef>

namespace qo_run_used {

// ", 790 ms CPU, 1.2 MiB", each stage's after the last in turn: ", 790 ms
// CPU, 1.2 MiB | 12 ms CPU, 980 KiB". A fresh string.
char *told(const qo_run_usage *usage, size_t count, const qo_run::Site &site) noexcept;

} // namespace qo_run_used
