// The command of a run as one line a shell reads back, for the log.
// Internal to the library.
#pragma once

#include "run/base/qo_run_base_internal.h"

namespace qo_run_line {

// "cd ./d && env -u TERM LC_ALL=C df -P", "tar -cf - /srv | zstd -q >
// /backup/srv.tzst": a fresh string.
char *command_line(const qo_run::Stages &stages, const qo_run_options &o,
                   const qo_run::Site &site) noexcept;

} // namespace qo_run_line
