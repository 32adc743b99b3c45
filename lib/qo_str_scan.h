// Finding the bytes of a set in text, with the widest vector instructions
// the CPU has (chosen at run time) or a portable table lookup; every path
// finds the same bytes. Internal to the library and its tests.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qo_scan {

// A set of bytes in two forms: a 256-entry table for the portable path,
// and nibble tables for the vector path, where byte c is in the set when
// low[c & 15] has bit (c >> 4) set (c < 0x80), or high[c & 15] has bit
// (c >> 4) - 8 set (c >= 0x80).
struct ByteSet {
    explicit ByteSet(std::string_view members) noexcept;

    std::array<bool, 256> table{};
    alignas(16) std::array<uint8_t, 16> low{};
    alignas(16) std::array<uint8_t, 16> high{};
    bool any_high = false;
};

enum class Path { portable, avx2 };

bool supported(Path path) noexcept;
Path best_path() noexcept; // chosen once

constexpr size_t block_bytes = 4096;

// masks[k] gets bit i set when p[64k + i] is in the set, for the n bytes
// at p (n <= block_bytes). Bytes from n on are never read. Returns whether
// any byte is in the set.
bool member_masks(Path path, const unsigned char *p, size_t n, const ByteSet &set,
                  uint64_t *masks) noexcept;

// Calls visit(i), in order, for each i < n where text[i] is in the set.
template <typename Visit>
void for_each_member(Path path, const char *text, size_t n, const ByteSet &set,
                     Visit &&visit) noexcept
{
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    uint64_t masks[block_bytes / 64];
    for (size_t at = 0; at < n; at += block_bytes) {
        const size_t length = std::min(n - at, block_bytes);
        if (!member_masks(path, p + at, length, set, masks))
            continue;
        for (size_t k = 0; k * 64 < length; k++)
            for (uint64_t m = masks[k]; m; m &= m - 1)
                visit(at + 64 * k + static_cast<size_t>(std::countr_zero(m)));
    }
}

// qo_stresc() on the given path.
char *stresc_using(Path path, const char *input, const char *specials, char escape,
                   char quote) noexcept;

} // namespace qo_scan
