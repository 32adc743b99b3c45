// String helpers. Every allocation goes through the checked routines with
// this module's own call site, so an exhaustion names lib/qo_str.cpp.
#include "qo.h"
#include "qo_fail.h"
#include "qo_str_scan.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <string_view>

namespace {

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

// The cursor is an int by the interface: a split that would carry it past
// INT_MAX must stop rather than wrap and lose the tokens after.
int cursor_after(int at, size_t advance) noexcept
{
    if (advance > static_cast<size_t>(INT_MAX - at))
        qo_fail::fail({__LINE__, __FILE__, "qo_strtok"}, -1,
                      "qo_strtok: text too long for the cursor");
    return at + static_cast<int>(advance);
}

} // namespace

// Both passes visit only the special bytes, found many at a time; the
// runs between them are copied whole.
char *qo_scan::stresc_using(Path path, const char *input, const char *specials,
                            char escape, char quote) noexcept
{
    const ByteSet special(specials);
    const size_t length = strlen(input);

    size_t growth = 0;
    for_each_member(path, input, length, special,
                    [&](size_t i) { growth += input[i] == quote ? 3 : 1; });

    char *out = static_cast<char *>(qo_malloc(length + growth + 1));
    char *o = out;
    size_t copied = 0;
    for_each_member(path, input, length, special, [&](size_t i) {
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

extern "C" char *qo_stresc(const char *input, const char *specials, char escape,
                           char quote) noexcept
{
    const qo_fail::Site here{__LINE__, __FILE__, "qo_stresc"};
    qo_fail::require(input, here, "qo_stresc: NULL input");
    qo_fail::require(specials, here, "qo_stresc: NULL specials");
    return qo_scan::stresc_using(qo_scan::best_path(), input, specials, escape, quote);
}

extern "C" char *qo_shell_quote(const char *input) noexcept
{
    qo_fail::require(input, {__LINE__, __FILE__, "qo_shell_quote"},
                     "qo_shell_quote: NULL input");
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
    // A cursor this routine stored lies in [0, length + 1]: one past the
    // terminator when the last token ended the text. Looking at the bytes
    // around it tells the end without measuring the whole text each call.
    const int at = *cursor;
    if (!input || !separators || at < 0 || (at > 0 && input[at - 1] == '\0') ||
        input[at] == '\0') {
        *cursor = 0;
        return nullptr;
    }
    const char *start = input + at;
    const size_t skipped = strspn(start, separators);
    const size_t length = strcspn(start + skipped, separators);
    *cursor = cursor_after(at, skipped + length + 1);
    return copy_of({start + skipped, length});
}

extern "C" char *qo_str_substitute(const char *input, const char *token,
                                   const char *replacement) noexcept
{
    const qo_fail::Site here{__LINE__, __FILE__, "qo_str_substitute"};
    qo_fail::require(input, here, "qo_str_substitute: NULL input");
    qo_fail::require(token, here, "qo_str_substitute: NULL token");
    qo_fail::require(replacement, here, "qo_str_substitute: NULL replacement");
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
