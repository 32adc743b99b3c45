// Cutting a command's output into lines for a callback. This is on the
// path of every byte a streamed run reads, so line ends are found 64 bytes
// at a time and lines handed out where they were read: only an unfinished
// line waits, in the read buffer, for the rest of it.
#include "run/streams/qo_run_lines_internal.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QO_X86 1
#define QO_AVX2 __attribute__((target("avx2")))
#endif

#define QO_INLINE inline __attribute__((always_inline))

namespace qo_run_lines {

namespace {

constexpr size_t line_max = QO_RUN_LINE_MAX;
constexpr size_t block = 64;

bool is_end(char c) noexcept
{
    return c == '\n' || c == '\r';
}

// One bit for each of the 64 bytes at p that ends a line. No test for a
// block without one: with lines of some 80 bytes, a quarter of the blocks
// have none, a branch the CPU cannot foresee.
struct Portable {
#if defined(__SSE2__)
    QO_INLINE static uint64_t bits(const char *p, __m128i nl, __m128i cr) noexcept
    {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i hits =
            _mm_or_si128(_mm_cmpeq_epi8(bytes, nl), _mm_cmpeq_epi8(bytes, cr));
        return static_cast<uint16_t>(_mm_movemask_epi8(hits));
    }

    QO_INLINE static uint64_t ends(const char *p) noexcept
    {
        const __m128i nl = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
        return bits(p, nl, cr) | bits(p + 16, nl, cr) << 16 |
               bits(p + 32, nl, cr) << 32 | bits(p + 48, nl, cr) << 48;
    }
#else
    // A byte of x that is zero gets its top bit set, and no other does.
    QO_INLINE static uint64_t ends_in_8(const char *p) noexcept
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

    QO_INLINE static uint64_t ends(const char *p) noexcept
    {
        uint64_t mask = 0;
        for (int i = 0; i < 8; ++i)
            mask |= ends_in_8(p + 8 * i) << (8 * i);
        return mask;
    }
#endif
};

#ifdef QO_X86
// The lines from "// cpu FLAG begin" to "// cpu FLAG end", and a line that
// ends in "// cpu FLAG", run only on a CPU with FLAG: scripts/coverage
// leaves them out on a CPU without.
// cpu avx2 begin
struct Avx2 {
    QO_AVX2 static uint64_t bits(const char *p, __m256i nl, __m256i cr) noexcept
    {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        const __m256i hits =
            _mm256_or_si256(_mm256_cmpeq_epi8(bytes, nl), _mm256_cmpeq_epi8(bytes, cr));
        return static_cast<uint32_t>(_mm256_movemask_epi8(hits));
    }

    QO_AVX2 static uint64_t ends(const char *p) noexcept
    {
        const __m256i nl = _mm256_set1_epi8('\n'), cr = _mm256_set1_epi8('\r');
        return bits(p, nl, cr) | bits(p + 32, nl, cr) << 32;
    }
};
// cpu avx2 end
#endif

// One feed, on the line ends one way of searching finds. The callback and
// its context are kept here: in the Lines, the compiler would load them
// again after every call.
template <class Search> class Split {
  public:
    Split(LineFn call, void *context, const char *data) noexcept
        : call_(call), context_(context), data_(data), start_(data)
    {
    }

    // Hands out the lines the bytes from..end end; false once the callback
    // asks for the stop.
    QO_INLINE bool run(const char *from, const char *end) noexcept
    {
        for (; end - from >= static_cast<ptrdiff_t>(block); from += block)
            if (!lines(from, Search::ends(from)))
                return false;
        return tail(from, end) && pieces(end);
    }

    // Where the unfinished line starts.
    const char *start() const noexcept { return start_; }

  private:
    // The line ends that mask marks among the bytes at p, in order.
    QO_INLINE bool lines(const char *p, uint64_t mask) noexcept
    {
        for (; mask != 0; mask &= mask - 1) {
            const char *next = p + __builtin_ctzll(mask);
            if (static_cast<size_t>(next - start_) >= line_max && !pieces(next))
                [[unlikely]]
                return false;
            if (call_(context_, start_, static_cast<size_t>(next - start_) + 1) != 0)
                return false;
            start_ = next + 1;
        }
        return true;
    }

    // Fewer than 64 bytes are left: when the data has 64, the last 64 are
    // searched, and the bits of the bytes searched before shifted out.
    QO_INLINE bool tail(const char *from, const char *end) noexcept
    {
        const size_t left = static_cast<size_t>(end - from);
        if (left == 0)
            return true;
        if (static_cast<size_t>(end - data_) >= block)
            return lines(from, Search::ends(end - block) >> (block - left));
        uint64_t mask = 0;
        for (size_t i = 0; i < left; ++i)
            mask |= uint64_t{is_end(from[i])} << i;
        return lines(from, mask);
    }

    // The line from start_ has no end before to: the bound cuts it.
    bool pieces(const char *to) noexcept
    {
        for (; static_cast<size_t>(to - start_) >= line_max; start_ += line_max)
            if (call_(context_, start_, line_max) != 0)
                return false;
        return true;
    }

    LineFn call_;
    void *context_;
    const char *data_, *start_;
};

template <class Search>
QO_INLINE size_t split(LineFn call, void *context, bool *stop, const char *data,
                       size_t scanned, size_t size) noexcept
{
    Split<Search> split(call, context, data);
    if (split.run(data + scanned, data + size))
        return static_cast<size_t>(split.start() - data);
    *stop = true;
    return size;
}

// Each way of searching gets a loop of its own, compiled for its
// instructions with everything inlined into it.
__attribute__((flatten)) size_t split_portable(LineFn call, void *context, bool *stop,
                                               const char *data, size_t scanned,
                                               size_t size) noexcept
{
    return split<Portable>(call, context, stop, data, scanned, size);
}

#ifdef QO_X86
// cpu avx2 begin
QO_AVX2 __attribute__((flatten)) size_t split_avx2(LineFn call, void *context,
                                                   bool *stop, const char *data,
                                                   size_t scanned, size_t size) noexcept
{
    return split<Avx2>(call, context, stop, data, scanned, size);
}
// cpu avx2 end
#endif

// -1 until the CPU has been asked. Constant-initialised, so no guard, and a
// race only makes two threads ask the same question.
std::atomic<int> best{-1};

Search best_search() noexcept
{
    int search = best.load(std::memory_order_relaxed);
    if (search < 0) {
        const bool avx2 = supported(Search::avx2);
        // cppcheck takes the build for one without x86, where it is false.
        // cppcheck-suppress knownConditionTrueFalse
        search = static_cast<int>(avx2 ? Search::avx2 : Search::portable);
        best.store(search, std::memory_order_relaxed);
    }
    return static_cast<Search>(search);
}

} // namespace

bool supported(Search search) noexcept
{
#ifdef QO_X86
    if (search == Search::avx2) {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2");
    }
#endif
    return search == Search::portable;
}

size_t Lines::feed(Search search, const char *data, size_t scanned,
                   size_t size) noexcept
{
    if (!call_ || *stop_)
        return size;
#ifdef QO_X86
    if (search == Search::avx2)
        return split_avx2(call_, context_, stop_, data, scanned, size); // cpu avx2
#endif
    (void)search;
    return split_portable(call_, context_, stop_, data, scanned, size);
}

size_t Lines::feed(const char *data, size_t scanned, size_t size) noexcept
{
    return feed(best_search(), data, scanned, size);
}

void Lines::finish(const char *data, size_t size) noexcept
{
    if (call_ && !*stop_ && size > 0 && call_(context_, data, size) != 0)
        *stop_ = true;
}

} // namespace qo_run_lines
