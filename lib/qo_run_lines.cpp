// Cutting a command's output into lines for a callback. This is on the
// path of every byte a streamed run reads, so line ends are found 64 bytes
// at a time and lines handed out where they were read: only an unfinished
// line waits, in the read buffer, for the rest of it.
#include "qo_run_lines_internal.h"

#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qo_run_lines {

namespace {

constexpr size_t line_max = QO_RUN_LINE_MAX;
constexpr size_t block = 64;

bool is_end(char c) noexcept
{
    return c == '\n' || c == '\r';
}

#if defined(__SSE2__)

__m128i ends_in_16(const char *p, __m128i nl, __m128i cr) noexcept
{
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    return _mm_or_si128(_mm_cmpeq_epi8(bytes, nl), _mm_cmpeq_epi8(bytes, cr));
}

uint64_t bits(__m128i ends) noexcept
{
    return static_cast<uint16_t>(_mm_movemask_epi8(ends));
}

// One bit for each of the 64 bytes at p that ends a line. Most blocks of
// long lines hold none, which one test tells.
uint64_t ends_in_block(const char *p) noexcept
{
    const __m128i nl = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    const __m128i a = ends_in_16(p, nl, cr), b = ends_in_16(p + 16, nl, cr);
    const __m128i c = ends_in_16(p + 32, nl, cr), d = ends_in_16(p + 48, nl, cr);
    if (!_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))))
        return 0;
    return bits(a) | bits(b) << 16 | bits(c) << 32 | bits(d) << 48;
}

#else

// One bit for each of the 8 bytes at p that ends a line: a byte of x that
// is zero gets its top bit set, and no other does.
uint64_t ends_in_8(const char *p) noexcept
{
    constexpr uint64_t low7 = 0x7f7f7f7f7f7f7f7f, ones = 0x0101010101010101;
    uint64_t bytes;
    memcpy(&bytes, p, sizeof bytes);
    auto zeros = [](uint64_t x) { return ~(((x & low7) + low7) | x | low7); };
    const uint64_t tops = zeros(bytes ^ ones * '\n') | zeros(bytes ^ ones * '\r');
    uint64_t mask = 0;
    for (int i = 0; i < 8; ++i)
        mask |= (tops >> (8 * i + 7) & 1) << i;
    return mask;
}

uint64_t ends_in_block(const char *p) noexcept
{
    uint64_t mask = 0;
    for (int i = 0; i < 8; ++i)
        mask |= ends_in_8(p + 8 * i) << (8 * i);
    return mask;
}

#endif

// The line ends of some bytes, one after the other: 64 bytes are looked at
// at once, however many lines they hold, so that a short line costs a few
// instructions and a long one a few per 64 bytes.
class Ends {
  public:
    Ends(const char *from, const char *end) noexcept
        : from_(from), size_(static_cast<size_t>(end - from))
    {
        look();
    }

    // The next line end, or the end of the bytes.
    const char *next() noexcept
    {
        while (mask_ == 0) {
            if (size_ - at_ <= block)
                return from_ + size_;
            at_ += block;
            look();
        }
        const char *found = from_ + at_ + __builtin_ctzll(mask_);
        mask_ &= mask_ - 1;
        return found;
    }

  private:
    void look() noexcept
    {
        const size_t left = size_ - at_;
        if (left >= block) {
            mask_ = ends_in_block(from_ + at_);
            return;
        }
        mask_ = 0;
        for (size_t i = 0; i < left; ++i)
            mask_ |= uint64_t{is_end(from_[at_ + i])} << i;
    }

    const char *from_;
    size_t size_, at_ = 0;
    uint64_t mask_ = 0;
};

} // namespace

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
    Ends ends(data + scanned, end);
    const char *next = ends.next();
    for (;;) {
        if (next < end && static_cast<size_t>(next - start) < line_max) {
            if (!hand(start, static_cast<size_t>(next - start) + 1))
                return size;
            start = next + 1;
            next = ends.next();
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
