// String helpers. Every allocation goes through the checked routines with
// this module's own call site, so an exhaustion names lib/qo_str.cpp.
#include "qo.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <string_view>

namespace {

using ByteSet = std::array<bool, 256>;

ByteSet byte_set(std::string_view members) noexcept
{
    ByteSet set{};
    for (unsigned char c : members)
        set[c] = true;
    return set;
}

char *copy_of(std::string_view text) noexcept
{
    char *copy = static_cast<char *>(qo_malloc(text.size() + 1));
    memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

// Bytes 0x01-0x20; 0x00 ends the text anyway.
constexpr char blanks[] =
    "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f"
    "\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f"
    "\x20";

bool is_blank(char c) noexcept
{
    return static_cast<unsigned char>(c) <= 0x20;
}

} // namespace

extern "C" char *qo_stresc(const char *input, const char *specials, char escape,
                           char quote) noexcept
{
    const ByteSet special = byte_set(specials);
    std::string_view in(input);

    size_t growth = 0;
    for (unsigned char c : in)
        if (special[c])
            growth += c == static_cast<unsigned char>(quote) ? 3 : 1;

    char *out = static_cast<char *>(qo_malloc(in.size() + growth + 1));
    char *o = out;
    for (char c : in) {
        if (special[static_cast<unsigned char>(c)]) {
            if (c == quote)
                *o++ = quote;
            *o++ = escape;
            *o++ = c;
            if (c == quote)
                *o++ = quote;
        } else {
            *o++ = c;
        }
    }
    *o = '\0';
    return out;
}

extern "C" char *qo_shell_quote(const char *input) noexcept
{
    const std::string_view in(input);
    const size_t quotes = std::count(in.begin(), in.end(), '\'');

    // Runs between single quotes are copied whole; each quote closes the
    // quoted text, adds an escaped quote and reopens it.
    char *out = static_cast<char *>(qo_malloc(in.size() + 3 * quotes + 3));
    char *o = out;
    *o++ = '\'';
    const char *rest = input;
    for (const char *q; (q = strchr(rest, '\'')); rest = q + 1) {
        o = static_cast<char *>(mempcpy(o, rest, q - rest));
        o = static_cast<char *>(mempcpy(o, "'\\''", 4));
    }
    o = stpcpy(o, rest);
    strcpy(o, "'");
    return out;
}

extern "C" char *qo_strtok(const char *input, const char *separators,
                           int *cursor) noexcept
{
    if (!cursor)
        return nullptr;
    // Unsigned, so that a negative cursor counts as past the end. strnlen
    // stops at the cursor: the input is never read beyond what is needed.
    const size_t at = static_cast<unsigned>(*cursor);
    if (!input || !separators || strnlen(input, at + 1) <= at) {
        *cursor = 0;
        return nullptr;
    }
    const char *start = input + at;
    const size_t skipped = strspn(start, separators);
    const size_t length = strcspn(start + skipped, separators);
    *cursor += static_cast<int>(skipped + length + 1);
    return copy_of({start + skipped, length});
}

extern "C" char *qo_str_substitute(const char *input, const char *token,
                                   const char *replacement) noexcept
{
    char *result = nullptr;
    qo_asprintf(&result, "%s", input);
    char *found = strstr(result, token);
    if (!found)
        return result;
    const char *rest = input + (found - result) + strlen(token);
    *found = '\0';
    qo_strcat(&result, "%s", replacement);
    qo_strcat(&result, "%s", rest);
    return result;
}

extern "C" void qo_strip_spaces(char *text) noexcept
{
    if (!text)
        return;
    const char *first = text + strspn(text, blanks);
    size_t length = strlen(first);
    while (length > 0 && is_blank(first[length - 1]))
        length--;
    memmove(text, first, length);
    text[length] = '\0';
}

extern "C" const char *qo_date(void) noexcept
{
    const time_t now = time(nullptr);
    return ctime(&now);
}
