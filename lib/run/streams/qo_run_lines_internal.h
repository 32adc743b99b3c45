// A command's output cut into lines for a caller's callback, as it
// arrives. Internal to the library.
#pragma once

#include "qo.h"

#include <cstddef>

namespace qo_run_lines {

using LineFn = int (*)(void *context, const char *line, size_t size);

// How line ends are looked for: the widest the CPU has is taken, once.
enum class Search { portable, avx2 };
bool supported(Search search) noexcept;

// Hands each line of one stream to a callback, straight from the bytes
// read: a line ends at '\n' or '\r', which it keeps; one that reaches
// QO_RUN_LINE_MAX bytes without either goes in pieces of that size. The
// callback's non-zero return raises the stop flag, which ends the calls.
class Lines {
  public:
    void set(LineFn call, void *context, bool *stop) noexcept
    {
        call_ = call;
        context_ = context;
        stop_ = stop;
    }
    bool active() const noexcept { return call_ != nullptr; }

    // data holds size bytes from the start of the unfinished line, of which
    // the first scanned hold no line end (they were seen before). Returns
    // how many were handed out: the unfinished line now starts there, and
    // is shorter than the bound.
    size_t feed(const char *data, size_t scanned, size_t size) noexcept;
    // The same, searching as told (the search must be supported).
    size_t feed(Search search, const char *data, size_t scanned, size_t size) noexcept;
    // The stream has ended: the unfinished line goes as it is.
    void finish(const char *data, size_t size) noexcept;

  private:
    LineFn call_ = nullptr;
    void *context_ = nullptr;
    bool *stop_ = nullptr;
};

} // namespace qo_run_lines
