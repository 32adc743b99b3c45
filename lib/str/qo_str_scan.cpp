// Escaping text 64 bytes at a time: the vector paths (AVX-512, AVX2) and
// the portable one, and the choice among them made once at run time.
#include "str/qo_str_scan_internal.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QO_X86 1
#endif

namespace qo_str_scan {

namespace {

using Bytes = const unsigned char *;

// Writes the 64-byte block at src, each special byte (the bits of specials)
// escaped, from o on; returns the end of what it wrote. Each special gets
// its prefix and then a whole block copy from itself on, which the next
// special overwrites from its own place: a few stores instead of a copy per
// run. Reads src[0, 128) and writes o[0, room_for(specials)).
[[gnu::always_inline]] inline char *expand(char *o, Bytes src, uint64_t specials,
                                           const Escaping &how) noexcept
{
    memcpy(o, src, 64);
    for (; specials; specials &= specials - 1) {
        const auto i = static_cast<unsigned>(std::countr_zero(specials));
        const auto c = static_cast<char>(src[i]);
        char *at = o + i;
        if (c == how.quote) {
            const char framed[4] = {how.quote, how.escape, c, how.quote};
            memcpy(at, framed, 4);
            memcpy(at + 4, src + i + 1, 64);
            o += 3;
        } else {
            *at = how.escape;
            memcpy(at + 1, src + i, 64);
            o += 1;
        }
    }
    return o + 64;
}

// Output room a block needs: its escaped length, at most 64 and 3 more per
// special, and one whole-block store past it.
inline ptrdiff_t room_for(uint64_t specials) noexcept
{
    return specials ? 128 + 3 * static_cast<ptrdiff_t>(std::popcount(specials)) : 64;
}

inline uint64_t first_bits(size_t count) noexcept
{
    return count >= 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
}

// Blocks followed by another block, since expand() reads past its block;
// mask_of gives, for the 64 bytes at p, the bits of those in the set.
template <typename MaskOf>
[[gnu::always_inline]] inline Progress
escape_inner(const MaskOf &mask_of, const Escaping &how, Bytes in, size_t n, char *out,
             size_t room) noexcept
{
    char *o = out;
    const char *const end = out + room;
    size_t r = 0;
    for (; n - r >= 128; r += 64) {
        const uint64_t specials = mask_of(in + r);
        if (end - o < room_for(specials))
            break;
        o = expand(o, in + r, specials, how);
    }
    return {r, static_cast<size_t>(o - out)};
}

// The inner blocks, then the rest through tail.
template <typename MaskOf, typename Tail>
[[gnu::always_inline]] inline Progress
escape_with(const MaskOf &mask_of, const Tail &tail, const Escaping &how, Bytes in,
            size_t n, char *out, size_t room) noexcept
{
    const Progress inner = escape_inner(mask_of, how, in, n, out, room);
    const Progress rest = tail(mask_of, how, in + inner.read, n - inner.read,
                               out + inner.written, room - inner.written);
    return {inner.read + rest.read, inner.written + rest.written};
}

// The last one or two blocks (nothing when 128 bytes or more are left),
// from a copy padded with zeros, which no set built from a C string holds.
struct PaddedTail {
    template <typename MaskOf>
    [[gnu::always_inline]] Progress operator()(const MaskOf &mask_of,
                                               const Escaping &how, Bytes in, size_t n,
                                               char *out, size_t room) const noexcept
    {
        char *o = out;
        const char *const end = out + room;
        size_t r = 0;
        while (r < n && n < 128) {
            alignas(64) unsigned char padded[128] = {};
            memcpy(padded, in + r, n - r);
            const size_t length = std::min<size_t>(n - r, 64);
            const uint64_t specials = mask_of(padded) & first_bits(length);
            if (end - o < room_for(specials))
                break;
            o = expand(o, padded, specials, how) - (64 - length);
            r += length;
        }
        return {r, static_cast<size_t>(o - out)};
    }
};

// How many bytes escaping the 64-byte block adds.
template <typename MaskOf>
[[gnu::always_inline]] inline size_t
growth_of(const MaskOf &mask_of, const Escaping &how, Bytes block) noexcept
{
    size_t growth = 0;
    for (uint64_t m = mask_of(block); m; m &= m - 1)
        growth +=
            block[std::countr_zero(m)] == static_cast<unsigned char>(how.quote) ? 3 : 1;
    return growth;
}

template <typename MaskOf>
[[gnu::always_inline]] inline size_t
size_with(const MaskOf &mask_of, const Escaping &how, Bytes in, size_t n) noexcept
{
    size_t size = n;
    for (size_t r = 0; r < n; r += 64) {
        if (n - r >= 64) {
            size += growth_of(mask_of, how, in + r);
        } else {
            alignas(64) unsigned char padded[64] = {};
            memcpy(padded, in + r, n - r);
            size += growth_of(mask_of, how, padded);
        }
    }
    return size;
}

// Measures, allocates, escapes; what the path cannot write within the
// exact size (its whole-block stores) goes through a stack buffer.
template <typename MaskOf, typename Tail>
[[gnu::always_inline]] inline char *short_with(const MaskOf &mask_of, const Tail &tail,
                                               const Escaping &how, Bytes in, size_t n,
                                               char wrap, Allocate allocate) noexcept
{
    const size_t size = size_with(mask_of, how, in, n);
    const size_t wraps = wrap ? 1 : 0;
    char *out = allocate(size + 2 * wraps + 1);
    out[0] = wrap;
    const Progress done = escape_with(mask_of, tail, how, in, n, out + wraps, size);
    if (done.read < n) {
        char rest[4 * short_text + block_room];
        const Progress last = escape_with(mask_of, tail, how, in + done.read,
                                          n - done.read, rest, sizeof rest);
        memcpy(out + wraps + done.written, rest, last.written);
    }
    out[wraps + size] = wrap;
    out[2 * wraps + size] = '\0';
    return out;
}

struct PortableMask {
    const ByteSet &set;

    uint64_t operator()(Bytes p) const noexcept
    {
        uint64_t bits = 0;
        for (unsigned i = 0; i < 64; i++) {
            const unsigned c = p[i];
            const unsigned row = set.rows[(c & 15U) | ((c >> 3U) & 16U)];
            bits |= uint64_t{(row >> ((c >> 4U) & 7U)) & 1U} << i;
        }
        return bits;
    }
};

#ifdef QO_X86

// The lines from "// cpu FLAG begin" to "// cpu FLAG end", and a line that
// ends in "// cpu FLAG", run only on a CPU with FLAG (as /proc/cpuinfo
// names it): scripts/coverage leaves them out on a CPU without.

// cpu avx2 begin
// The bit that stands for each high nibble, in both rows.
alignas(16) constexpr uint8_t nibble_bit[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                                1, 2, 4, 8, 16, 32, 64, 128};

#define QO_AVX2 __attribute__((target("avx2")))

// A byte shuffle gives 0 where the index has its top bit set, so looking the
// bytes up in the first row answers for c < 0x80, and looking c ^ 0x80 up in
// the second row for the others.
struct Avx2Mask {
    __m256i low, high, bit;
    bool any_high;

    QO_AVX2 explicit Avx2Mask(const ByteSet &set) noexcept
        : low(row(set.rows)), high(row(set.rows + 16)), bit(row(nibble_bit)),
          any_high(set.any_high)
    {
    }

    QO_AVX2 static __m256i row(const uint8_t *p) noexcept
    {
        return _mm256_broadcastsi128_si256(
            _mm_load_si128(reinterpret_cast<const __m128i *>(p)));
    }

    QO_AVX2 uint32_t half(const unsigned char *p) const noexcept
    {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        __m256i rows = _mm256_shuffle_epi8(low, v);
        if (any_high)
            rows = _mm256_or_si256(
                rows,
                _mm256_shuffle_epi8(high, _mm256_xor_si256(v, _mm256_set1_epi8(-128))));
        const __m256i hi =
            _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(15));
        const __m256i bits = _mm256_shuffle_epi8(bit, hi);
        return static_cast<uint32_t>(_mm256_movemask_epi8(
            _mm256_cmpeq_epi8(_mm256_and_si256(rows, bits), bits)));
    }

    QO_AVX2 uint64_t operator()(Bytes p) const noexcept
    {
        return half(p) | uint64_t{half(p + 32)} << 32;
    }
};
// cpu avx2 end

// cpu avx512bw begin
#define QO_AVX512 __attribute__((target("avx512f,avx512bw")))

struct Avx512Set {
    __m512i low, high, bit, quote;
    bool any_high;

    QO_AVX512 explicit Avx512Set(const Escaping &how) noexcept
        : Avx512Set(_mm512_load_si512(how.set.rows), how)
    {
    }

    // The first row (lane 0 of rows) and the second (lane 1) in every lane;
    // the masked forms, since the plain ones trip g++ 12's -Wuninitialized
    // in its own header.
    QO_AVX512 Avx512Set(__m512i rows, const Escaping &how) noexcept
        : low(_mm512_maskz_shuffle_i32x4(0xFFFF, rows, rows, 0x00)),
          high(_mm512_maskz_shuffle_i32x4(0xFFFF, rows, rows, 0x55)),
          bit(_mm512_load_si512(nibble_bits)), quote(_mm512_set1_epi8(how.quote)),
          any_high(how.set.any_high)
    {
    }

    QO_AVX512 uint64_t operator()(Bytes p) const noexcept
    {
        return members(_mm512_loadu_si512(p));
    }

    QO_AVX512 uint64_t members(__m512i v) const noexcept
    {
        __m512i rows = _mm512_shuffle_epi8(low, v);
        if (any_high)
            rows = _mm512_or_si512(
                rows,
                _mm512_shuffle_epi8(high, _mm512_xor_si512(v, _mm512_set1_epi8(-128))));
        const __m512i hi =
            _mm512_and_si512(_mm512_srli_epi16(v, 4), _mm512_set1_epi8(15));
        return _mm512_test_epi8_mask(rows, _mm512_shuffle_epi8(bit, hi));
    }

    alignas(64) static constexpr uint8_t nibble_bits[64] = {
        1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128,
        1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128,
        1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128,
        1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
};

// Writes the valid bytes of block from o on, each special escaped, and
// returns the end. Each special gets its prefix and then the rest of the
// block, stored under a mask from itself on, which the next special
// overwrites from its own place. Nothing is written past the end.
QO_AVX512 char *expand_avx512(char *o, __m512i block, uint64_t valid, uint64_t specials,
                              uint64_t quotes, const Escaping &how) noexcept
{
    // Kept in registers: any char store may alias how, so reading through
    // it would load them again after every store.
    const char escape = how.escape;
    const char framed[4] = {how.quote, escape, how.quote, how.quote};
    uint32_t frame = 0;
    memcpy(&frame, framed, 4);
    _mm512_mask_storeu_epi8(o, valid, block);
    size_t shift = 0;
    for (; specials; specials &= specials - 1) {
        const auto i = static_cast<unsigned>(std::countr_zero(specials));
        const uint64_t from = valid & (~uint64_t{0} << i); // holds bit i
        if (quotes >> i & 1) {
            memcpy(o + shift + i, &frame, 4);
            shift += 3;
            _mm512_mask_storeu_epi8(o + shift, from & (from - 1), block);
        } else {
            o[shift + i] = escape;
            shift += 1;
            _mm512_mask_storeu_epi8(o + shift, from, block);
        }
    }
    return o + std::popcount(valid) + shift;
}

// Blocks loaded under a mask, which reads nothing past the text, and
// written under masks, exactly: for the end of a text, and for any block
// when the room left is only what the escaping needs.
struct Avx512Tail {
    QO_AVX512 Progress operator()(const Avx512Set &set, const Escaping &how, Bytes in,
                                  size_t n, char *out, size_t room) const noexcept
    {
        char *o = out;
        const char *const end = out + room;
        size_t r = 0;
        while (r < n) {
            const size_t length = std::min<size_t>(n - r, 64);
            const uint64_t valid = first_bits(length);
            const __m512i block = _mm512_maskz_loadu_epi8(valid, in + r);
            const uint64_t specials = set.members(block);
            const uint64_t quotes = specials & _mm512_cmpeq_epi8_mask(block, set.quote);
            const auto grown = static_cast<size_t>(std::popcount(specials)) +
                               2 * static_cast<size_t>(std::popcount(quotes));
            if (static_cast<size_t>(end - o) < length + grown)
                break;
            o = expand_avx512(o, block, valid, specials, quotes, how);
            r += length;
        }
        return {r, static_cast<size_t>(o - out)};
    }
};

// The blocks (four at most) are tested, the block allocated, and the
// blocks loaded and tested again to be written: the call would have them
// spilled to the stack anyway.
QO_AVX512 char *short_avx512(const Escaping &how, Bytes in, size_t n, char wrap,
                             Allocate allocate) noexcept
{
    size_t size = n;
    {
        const Avx512Set set(how);
        for (size_t k = 0; 64 * k < n; k++) {
            const __m512i block =
                _mm512_maskz_loadu_epi8(first_bits(n - 64 * k), in + 64 * k);
            const uint64_t specials = set.members(block);
            size +=
                std::popcount(specials) +
                2 * std::popcount(specials & _mm512_cmpeq_epi8_mask(block, set.quote));
        }
    }
    const size_t wraps = wrap ? 1 : 0;
    char *out = allocate(size + 2 * wraps + 1);
    out[0] = wrap;
    const Avx512Set set(how);
    char *o = out + wraps;
    for (size_t k = 0; 64 * k < n; k++) {
        const uint64_t valid = first_bits(n - 64 * k);
        const __m512i block = _mm512_maskz_loadu_epi8(valid, in + 64 * k);
        const uint64_t specials = set.members(block);
        o = expand_avx512(o, block, valid, specials,
                          specials & _mm512_cmpeq_epi8_mask(block, set.quote), how);
    }
    o[0] = wrap;
    o[wraps] = '\0';
    return out;
}

// For byte c: the lane of its row (a mask with one bit), and its bit in
// every lane.
struct RowTables {
    uint64_t lane[256];
    alignas(64) uint8_t bits[8][64];
};
constexpr RowTables row_tables = [] {
    RowTables t{};
    for (unsigned c = 0; c < 256; c++)
        t.lane[c] = uint64_t{1} << ((c & 15U) | ((c >> 3U) & 16U));
    for (unsigned b = 0; b < 8; b++)
        for (auto &byte : t.bits[b])
            byte = static_cast<uint8_t>(1U << b);
    return t;
}();

// The rows built in a register, each member one masked load and an OR, and
// stored whole: no byte stores for the vector loads to wait on.
QO_AVX512 ByteSet set_avx512(const char *members) noexcept
{
    __m512i rows = _mm512_setzero_si512();
    unsigned seen = 0;
    for (; *members; members++) {
        const auto c = static_cast<unsigned char>(*members);
        rows = _mm512_or_si512(
            rows,
            _mm512_maskz_loadu_epi8(row_tables.lane[c], row_tables.bits[c >> 4U & 7U]));
        seen |= c;
    }
    ByteSet set("");
    _mm512_store_si512(set.rows, rows);
    set.any_high = seen >= 0x80;
    return set;
}
// cpu avx512bw end

// cpu avx2 begin
[[gnu::flatten]] QO_AVX2 Progress escape_avx2(const Escaping &how, Bytes in, size_t n,
                                              char *out, size_t room) noexcept
{
    return escape_with(Avx2Mask(how.set), PaddedTail{}, how, in, n, out, room);
}

[[gnu::flatten]] QO_AVX2 char *short_avx2(const Escaping &how, Bytes in, size_t n,
                                          char wrap, Allocate allocate) noexcept
{
    return short_with(Avx2Mask(how.set), PaddedTail{}, how, in, n, wrap, allocate);
}
// cpu avx2 end

// cpu avx512bw begin
[[gnu::flatten]] QO_AVX512 Progress escape_avx512(const Escaping &how, Bytes in,
                                                  size_t n, char *out,
                                                  size_t room) noexcept
{
    return escape_with(Avx512Set(how), Avx512Tail{}, how, in, n, out, room);
}
// cpu avx512bw end

#endif

Path detected() noexcept
{
    if (supported(Path::avx512))
        return Path::avx512; // cpu avx512bw
    return supported(Path::avx2) ? Path::avx2 : Path::portable;
}

// -1 until the CPU has been asked. Constant-initialised, so no guard, and a
// race only makes two threads ask the same question.
std::atomic<int> best{-1};

} // namespace

bool supported(Path path) noexcept
{
    switch (path) {
    case Path::portable:
        return true;
#ifdef QO_X86
    case Path::avx2:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2");
    case Path::avx512:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512bw");
#endif
    default:
        return false;
    }
}

Path best_path() noexcept
{
    int path = best.load(std::memory_order_relaxed);
    if (path < 0) {
        path = static_cast<int>(detected());
        best.store(path, std::memory_order_relaxed);
    }
    return static_cast<Path>(path);
}

namespace {

ByteSet built(Path path, const char *members) noexcept
{
#ifdef QO_X86
    if (path == Path::avx512)
        return set_avx512(members); // cpu avx512bw
#endif
    return ByteSet(members);
}

// A program escapes for one or two shell contexts, so the same members
// come back call after call: each thread keeps the last set it built, and
// comparing the members costs less than building the set again.
struct LastSet {
    Path path = Path::portable;
    char members[48] = {}; // "" builds the empty set on every path
    ByteSet set{""};
};
// In libqo.a, initial-exec: a fixed offset from the thread pointer, so that
// a program linked statically does not need the loader's __tls_get_addr.
// Not in libqo.so, which dlopen() must be able to load after the static TLS
// block is spent (plugins, language bindings).
#ifdef QO_STATIC_LIBRARY
[[gnu::tls_model("initial-exec")]]
#endif
thread_local LastSet last_set;

bool same_members(const char *kept, const char *members) noexcept
{
    for (size_t i = 0; kept[i] == members[i]; i++)
        if (!kept[i])
            return true;
    return false;
}

} // namespace

ByteSet ByteSet::of(Path path, const char *members) noexcept
{
    LastSet &last = last_set;
    if (last.path == path && same_members(last.members, members))
        return last.set;
    const ByteSet set = built(path, members);
    const size_t length = strlen(members);
    if (length < sizeof last.members) {
        memcpy(last.members, members, length + 1);
        last.path = path;
        last.set = set;
    }
    return set;
}

Progress escape_some(Path path, const Escaping &how, const char *in, size_t n,
                     char *out, size_t room) noexcept
{
    const auto *bytes = reinterpret_cast<Bytes>(in);
#ifdef QO_X86
    if (path == Path::avx512)
        return escape_avx512(how, bytes, n, out, room); // cpu avx512bw
    if (path == Path::avx2)
        return escape_avx2(how, bytes, n, out, room); // cpu avx2
#endif
    return escape_with(PortableMask{how.set}, PaddedTail{}, how, bytes, n, out, room);
}

char *escape_short(Path path, const Escaping &how, const char *in, size_t n, char wrap,
                   Allocate allocate) noexcept
{
    const auto *bytes = reinterpret_cast<Bytes>(in);
#ifdef QO_X86
    if (path == Path::avx512)
        return short_avx512(how, bytes, n, wrap, allocate); // cpu avx512bw
    if (path == Path::avx2)
        return short_avx2(how, bytes, n, wrap, allocate); // cpu avx2
#endif
    return short_with(PortableMask{how.set}, PaddedTail{}, how, bytes, n, wrap,
                      allocate);
}

} // namespace qo_str_scan
