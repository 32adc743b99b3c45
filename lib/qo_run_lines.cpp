// Cutting a command's output into lines for a callback. This is on the
// path of every byte a streamed run reads, so lines are found sixteen bytes
// at a time and handed out where they were read: only an unfinished line
// waits, in the read buffer, for the rest of it.
#include "qo_run_lines_internal.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qo_run_lines {

namespace {

constexpr size_t line_max = QO_RUN_LINE_MAX;

bool is_end(char c) noexcept
{
    return c == '\n' || c == '\r';
}

#if defined(__SSE2__)

// The bytes of the 16 at p that end a line, as a bit mask.
__m128i ends_at(const char *p, __m128i nl, __m128i cr) noexcept
{
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    return _mm_or_si128(_mm_cmpeq_epi8(bytes, nl), _mm_cmpeq_epi8(bytes, cr));
}

const char *vector_end(const char *from, const char *end) noexcept
{
    const __m128i nl = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    // A long line costs one branch per 64 bytes.
    for (; end - from >= 64; from += 64) {
        const __m128i any = _mm_or_si128(
            _mm_or_si128(ends_at(from, nl, cr), ends_at(from + 16, nl, cr)),
            _mm_or_si128(ends_at(from + 32, nl, cr), ends_at(from + 48, nl, cr)));
        if (_mm_movemask_epi8(any))
            break;
    }
    for (; end - from >= 16; from += 16)
        if (const int found = _mm_movemask_epi8(ends_at(from, nl, cr)))
            return from + __builtin_ctz(static_cast<unsigned>(found));
    return from;
}

#else

// The C library's memchr, once for each byte; the second looks no further
// than the first found.
const char *vector_end(const char *from, const char *end) noexcept
{
    const size_t n = static_cast<size_t>(end - from);
    const auto *nl = static_cast<const char *>(memchr(from, '\n', n));
    const auto *cr = static_cast<const char *>(
        memchr(from, '\r', nl ? static_cast<size_t>(nl - from) : n));
    return cr ? cr : nl ? nl : end;
}

#endif

} // namespace

const char *line_end(const char *from, const char *end) noexcept
{
    from = vector_end(from, end);
    while (from < end && !is_end(*from))
        ++from;
    return from;
}

bool Lines::hand(const char *line, size_t size) noexcept
{
    if (call_(context_, line, size) == 0)
        return true;
    *stop_ = true;
    return false;
}

size_t Lines::feed(const char *data, size_t scanned, size_t size) noexcept
{
    if (!call_ || *stop_)
        return size;
    const char *start = data, *const end = data + size;
    const char *next = line_end(data + scanned, end);
    for (;;) {
        if (next < end && static_cast<size_t>(next - start) < line_max) {
            if (!hand(start, static_cast<size_t>(next - start) + 1))
                return size;
            start = next + 1;
            next = line_end(start, end);
        } else if (static_cast<size_t>(end - start) >= line_max) {
            // next, beyond the piece, is still the next line end
            if (!hand(start, line_max))
                return size;
            start += line_max;
        } else {
            return static_cast<size_t>(start - data);
        }
    }
}

void Lines::finish(const char *data, size_t size) noexcept
{
    if (call_ && !*stop_ && size > 0)
        hand(data, size);
}

} // namespace qo_run_lines
