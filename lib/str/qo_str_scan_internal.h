// Escaping text 64 bytes at a time, with the widest vector instructions
// the CPU has (chosen at run time) or portable code; every path writes the
// same bytes. Internal to the library and its tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qo_str_scan {

enum class Path { portable, avx2, avx512 };

bool supported(Path path) noexcept;
Path best_path() noexcept; // the CPU is asked once, then remembered

// A set of bytes as two rows of 16 entries, one per low nibble: byte c is
// in the set when rows[c & 15] (c < 0x80) or rows[16 + (c & 15)] (c >= 0x80)
// has bit (c >> 4) & 7 set. Small enough to build for every call, and the
// form a vector byte shuffle reads directly. The rows take a whole 64-byte
// line, so that the AVX-512 path stores and loads them in one piece.
struct ByteSet {
    constexpr explicit ByteSet(const char *members) noexcept
    {
        for (; *members; members++) {
            const auto c = static_cast<unsigned char>(*members);
            rows[(c & 15U) | ((c >> 3U) & 16U)] |=
                static_cast<uint8_t>(1U << ((c >> 4U) & 7U));
            any_high = any_high || c >= 0x80;
        }
    }
    // Built the way path reads it best.
    static ByteSet of(Path path, const char *members) noexcept;

    alignas(64) uint8_t rows[64] = {};
    bool any_high = false;
};

// Each byte of set is written as escape byte; quote, when in set, as
// quote escape quote quote.
struct Escaping {
    ByteSet set;
    char escape, quote;
};

// Output room that lets escape_some() take at least one more block: four
// times a block, and one block's worth of whole-vector stores past it.
constexpr size_t block_room = size_t{5} * 64;

struct Progress {
    size_t read, written;
};

// Escapes in[0, n) into out[0, room), block by block, as long as the room
// left is enough for the next block; it takes the whole input when room >=
// 4 * n + block_room, and on the AVX-512 path when room is the escaped
// size. Bytes of out past the returned length may be overwritten. Reads no
// byte of in from n on.
Progress escape_some(Path path, const Escaping &how, const char *in, size_t n,
                     char *out, size_t room) noexcept;

// A text this long or shorter is measured first, so that its block has the
// exact size.
constexpr size_t short_text = 256;

using Allocate = char *(*)(size_t size) noexcept;

// in[0, n) (n <= short_text) escaped, between two wrap bytes unless wrap is
// 0, and terminated, in a block of the exact size from allocate.
char *escape_short(Path path, const Escaping &how, const char *in, size_t n, char wrap,
                   Allocate allocate) noexcept;

// qo_stresc() and qo_shell_quote() on the given path.
char *stresc_using(Path path, const char *input, const char *specials, char escape,
                   char quote) noexcept;
char *shell_quote_using(Path path, const char *input) noexcept;

} // namespace qo_str_scan
