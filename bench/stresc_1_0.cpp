// qo_stresc as qo 1.0.0 shipped it, frozen here so that every run measures
// the current routine against it: a counting pass and a writing pass, each
// finding the specials with AVX2 (or a table) in 4 KiB blocks of masks,
// one allocation of the exact size. Only malloc() replaces qo_malloc().
#include "stresc_1_0.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <immintrin.h>
#include <string_view>

namespace {

struct ByteSet {
    explicit ByteSet(std::string_view members)
    {
        for (unsigned char c : members) {
            table[c] = true;
            auto &nibbles = c < 0x80 ? low : high;
            nibbles[c & 15] |= static_cast<uint8_t>(1U << ((c >> 4) & 7));
            any_high |= c >= 0x80;
        }
    }

    std::array<bool, 256> table{};
    alignas(16) std::array<uint8_t, 16> low{};
    alignas(16) std::array<uint8_t, 16> high{};
    bool any_high = false;
};

constexpr size_t block_bytes = 4096;

uint64_t mask_portable(const unsigned char *p, const ByteSet &set)
{
    uint64_t bits = 0;
    for (unsigned i = 0; i < 64; i++)
        bits |= uint64_t{set.table[p[i]]} << i;
    return bits;
}

#define AVX2 __attribute__((target("avx2")))

alignas(16) constexpr uint8_t ascii_bit[16] = {1, 2, 4, 8, 16, 32, 64, 128};
alignas(16) constexpr uint8_t upper_bit[16] = {0, 0, 0, 0, 0,  0,  0,  0,
                                               1, 2, 4, 8, 16, 32, 64, 128};

AVX2 __m256i both_lanes(const uint8_t *table)
{
    return _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i *>(table)));
}

struct Avx2Set {
    __m256i low, high, ascii, upper;
    bool any_high;
};

AVX2 __m256i outside32(__m256i v, const Avx2Set &set)
{
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    const __m256i lo = _mm256_and_si256(v, nibble);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
    __m256i hit = _mm256_and_si256(_mm256_shuffle_epi8(set.low, lo),
                                   _mm256_shuffle_epi8(set.ascii, hi));
    if (set.any_high)
        hit =
            _mm256_or_si256(hit, _mm256_and_si256(_mm256_shuffle_epi8(set.high, lo),
                                                  _mm256_shuffle_epi8(set.upper, hi)));
    return _mm256_cmpeq_epi8(hit, _mm256_setzero_si256());
}

AVX2 uint64_t mask_avx2(const unsigned char *p, const Avx2Set &set)
{
    const auto *v = reinterpret_cast<const __m256i *>(p);
    const uint64_t lo = static_cast<uint32_t>(
        _mm256_movemask_epi8(outside32(_mm256_loadu_si256(v), set)));
    const uint64_t hi = static_cast<uint32_t>(
        _mm256_movemask_epi8(outside32(_mm256_loadu_si256(v + 1), set)));
    return ~(lo | hi << 32);
}

AVX2 uint64_t masks_avx2(const unsigned char *p, size_t chunks, const ByteSet &set,
                         uint64_t *masks)
{
    const Avx2Set vectors{both_lanes(set.low.data()), both_lanes(set.high.data()),
                          both_lanes(ascii_bit), both_lanes(upper_bit), set.any_high};
    uint64_t any = 0;
    for (size_t k = 0; k < chunks; k++)
        any |= masks[k] = mask_avx2(p + 64 * k, vectors);
    return any;
}

uint64_t masks_on(bool avx2, const unsigned char *p, size_t chunks, const ByteSet &set,
                  uint64_t *masks)
{
    if (avx2)
        return masks_avx2(p, chunks, set, masks);
    uint64_t any = 0;
    for (size_t k = 0; k < chunks; k++)
        any |= masks[k] = mask_portable(p + 64 * k, set);
    return any;
}

bool member_masks(bool avx2, const unsigned char *p, size_t n, const ByteSet &set,
                  uint64_t *masks)
{
    const size_t whole = n / 64;
    uint64_t any = masks_on(avx2, p, whole, set, masks);
    if (const size_t rest = n % 64) {
        alignas(32) unsigned char tail[64] = {};
        memcpy(tail, p + 64 * whole, rest);
        any |= masks_on(avx2, tail, 1, set, masks + whole);
    }
    return any != 0;
}

template <typename Visit>
void for_each_member(bool avx2, const char *text, size_t n, const ByteSet &set,
                     Visit &&visit)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    uint64_t masks[block_bytes / 64];
    for (size_t at = 0; at < n; at += block_bytes) {
        const size_t length = std::min(n - at, block_bytes);
        if (!member_masks(avx2, p + at, length, set, masks))
            continue;
        for (size_t k = 0; k * 64 < length; k++)
            for (uint64_t m = masks[k]; m; m &= m - 1)
                visit(at + 64 * k + static_cast<size_t>(std::countr_zero(m)));
    }
}

// 1.0.0 asked the CPU once, in a function-local static.
bool best_is_avx2()
{
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}

} // namespace

char *stresc_1_0(const char *input, const char *specials, char escape, char quote)
{
    const bool avx2 = best_is_avx2();
    const ByteSet special(specials);
    const size_t length = strlen(input);

    size_t growth = 0;
    for_each_member(avx2, input, length, special,
                    [&](size_t i) { growth += input[i] == quote ? 3 : 1; });

    char *out = static_cast<char *>(malloc(length + growth + 1));
    char *o = out;
    size_t copied = 0;
    for_each_member(avx2, input, length, special, [&](size_t i) {
        o = static_cast<char *>(mempcpy(o, input + copied, i - copied));
        const char c = input[i];
        if (c == quote)
            *o++ = quote;
        *o++ = escape;
        *o++ = c;
        if (c == quote)
            *o++ = quote;
        copied = i + 1;
    });
    o = static_cast<char *>(mempcpy(o, input + copied, length - copied));
    *o = '\0';
    return out;
}
