#include "qo_str_scan.h"

#include <cstring>
#include <immintrin.h>

namespace qo_scan {

ByteSet::ByteSet(std::string_view members) noexcept
{
    for (unsigned char c : members) {
        table[c] = true;
        auto &nibbles = c < 0x80 ? low : high;
        nibbles[c & 15] |= static_cast<uint8_t>(1U << ((c >> 4) & 7));
        any_high |= c >= 0x80;
    }
}

namespace {

uint64_t mask_portable(const unsigned char *p, const ByteSet &set) noexcept
{
    uint64_t bits = 0;
    for (unsigned i = 0; i < 64; i++)
        bits |= uint64_t{set.table[p[i]]} << i;
    return bits;
}

#define QO_AVX2 __attribute__((target("avx2")))

// The bit that stands for each high nibble: in the ASCII table for 0-7, in
// the upper table for 8-15.
alignas(16) constexpr uint8_t ascii_bit[16] = {1, 2, 4, 8, 16, 32, 64, 128};
alignas(16) constexpr uint8_t upper_bit[16] = {0, 0, 0, 0, 0,  0,  0,  0,
                                               1, 2, 4, 8, 16, 32, 64, 128};

QO_AVX2 __m256i both_lanes(const uint8_t *table) noexcept
{
    return _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i *>(table)));
}

// Nibble tables, loaded once per block.
struct Avx2Set {
    __m256i low, high, ascii, upper;
    bool any_high;
};

// 0xFF in each byte of v that is not in the set.
QO_AVX2 __m256i outside32(__m256i v, const Avx2Set &set) noexcept
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

QO_AVX2 uint64_t mask_avx2(const unsigned char *p, const Avx2Set &set) noexcept
{
    const auto *v = reinterpret_cast<const __m256i *>(p);
    const uint64_t lo = static_cast<uint32_t>(
        _mm256_movemask_epi8(outside32(_mm256_loadu_si256(v), set)));
    const uint64_t hi = static_cast<uint32_t>(
        _mm256_movemask_epi8(outside32(_mm256_loadu_si256(v + 1), set)));
    return ~(lo | hi << 32);
}

QO_AVX2 uint64_t masks_avx2(const unsigned char *p, size_t chunks, const ByteSet &set,
                            uint64_t *masks) noexcept
{
    const Avx2Set vectors{both_lanes(set.low.data()), both_lanes(set.high.data()),
                          both_lanes(ascii_bit), both_lanes(upper_bit), set.any_high};
    uint64_t any = 0;
    for (size_t k = 0; k < chunks; k++)
        any |= masks[k] = mask_avx2(p + 64 * k, vectors);
    return any;
}

// Returns the union of the masks.
uint64_t masks_on(Path path, const unsigned char *p, size_t chunks, const ByteSet &set,
                  uint64_t *masks) noexcept
{
    if (path == Path::avx2)
        return masks_avx2(p, chunks, set, masks);
    uint64_t any = 0;
    for (size_t k = 0; k < chunks; k++)
        any |= masks[k] = mask_portable(p + 64 * k, set);
    return any;
}

} // namespace

bool supported(Path path) noexcept
{
    return path == Path::portable || __builtin_cpu_supports("avx2");
}

// Asked on every call: a function-local static would need the C++
// runtime's guard, and the CPU model is a load once it has been read.
Path best_path() noexcept
{
    __builtin_cpu_init();
    return supported(Path::avx2) ? Path::avx2 : Path::portable;
}

bool member_masks(Path path, const unsigned char *p, size_t n, const ByteSet &set,
                  uint64_t *masks) noexcept
{
    const size_t whole = n / 64;
    uint64_t any = masks_on(path, p, whole, set, masks);
    if (const size_t rest = n % 64) {
        // The tail is copied into a zeroed chunk so that no path reads past
        // the text; 0 is never in a set built from a C string.
        alignas(32) unsigned char tail[64] = {};
        memcpy(tail, p + 64 * whole, rest);
        any |= masks_on(path, tail, 1, set, masks + whole);
    }
    return any != 0;
}

} // namespace qo_scan
