// The leaf under every file of the command runner: the call site, the
// stages of a run, memory, the clock and descriptors. It calls nothing of
// the runner. Internal to the library.
#pragma once

#include "qo.h"
#include "exit/qo_err_internal.h"

#include <cstddef>
#include <cstdint>

namespace qo_run {

using qo_err::Site;

// The commands of a run: one for qo_run(), each stage of a pipeline.
struct Stages {
    const char *const *const *argv;
    size_t count;
};

[[noreturn]] void fail(const Site &site, const char *message) noexcept;
void *allocate(size_t size, const Site &site) noexcept;
int64_t now_us() noexcept; // monotonic
int64_t now_ms() noexcept;
// The deadline of a run that began then (us, monotonic); 0 without one.
int64_t deadline_of(int64_t began, int timeout_ms) noexcept;
void close_fd(int &fd) noexcept; // and sets it to -1

} // namespace qo_run
