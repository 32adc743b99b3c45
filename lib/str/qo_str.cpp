// String helpers. Every allocation goes through the checked routines with
// this module's own call site, so an exhaustion names lib/str/qo_str.cpp.
#include "qo.h"
#include "exit/qo_err_internal.h"
#include "str/qo_str_internal.h"
#include "str/qo_str_scan_internal.h"

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
        qo_err::fail({__LINE__, __FILE__, "qo_strtok"}, -1,
                     "qo_strtok: text too long for the cursor");
    return at + static_cast<int>(advance);
}

struct Token {
    size_t skipped, length; // separators before it, then its bytes
};

// The token that starts at text. One separator, the usual case, is found
// by the C library's vector scan for a byte; a set goes through its tables.
Token token_at(const char *text, const char *separators) noexcept
{
    if (separators[0] && !separators[1]) {
        const char *start = text;
        while (*start == separators[0])
            start++;
        return {static_cast<size_t>(start - text),
                static_cast<size_t>(strchrnul(start, separators[0]) - start)};
    }
    const size_t skipped = strspn(text, separators);
    return {skipped, strcspn(text + skipped, separators)};
}

using qo_str_scan::Escaping;
using qo_str_scan::Path;
using qo_str_scan::short_text;

char *allocate(size_t size) noexcept
{
    return static_cast<char *>(qo_malloc(size));
}

// The block being written: sized with a margin, grown when the escaping
// outgrows it, trimmed at the end.
struct Output {
    char *text;
    size_t size, used;
};

// When realloc() refuses, the checked allocation ends the process naming
// this module (or, should it succeed, takes the text over).
void resize(Output &out, size_t size) noexcept
{
    if (auto *moved = static_cast<char *>(realloc(out.text, size))) {
        out.text = moved;
    } else {
        auto *fresh = static_cast<char *>(qo_malloc(size));
        memcpy(fresh, out.text, out.used);
        free(out.text);
        out.text = fresh;
    }
    out.size = size;
}

// Room for the rest escaped at the rate seen so far, an eighth more: half
// as large again at least, never more than the worst case.
size_t grown_size(const Output &out, size_t read, size_t left) noexcept
{
    const double rate = static_cast<double>(out.used) / static_cast<double>(read + 1);
    const size_t margin = qo_str_scan::block_room + 2;
    const size_t wanted = left + left / 8;
    const size_t projected =
        out.used + static_cast<size_t>(rate * static_cast<double>(wanted));
    const size_t worst = out.used + 4 * left + margin;
    return std::min(worst, std::max(projected + margin, out.size + out.size / 2));
}

// Escapes the rest (at most short_text bytes) on the stack, where the
// vector stores may run past it, and copies it in, keeping reserved bytes.
void append_rest(Output &out, Path path, const Escaping &how, std::string_view rest,
                 size_t reserved) noexcept
{
    char buffer[4 * short_text + qo_str_scan::block_room];
    const size_t length = qo_str_scan::escape_some(path, how, rest.data(), rest.size(),
                                                   buffer, sizeof buffer)
                              .written;
    if (out.used + length + reserved > out.size)
        resize(out, out.used + length + reserved);
    memcpy(out.text + out.used, buffer, length);
    out.used += length;
}

// Escapes in after what out holds, keeping reserved bytes at the end.
void escape_into(Output &out, Path path, const Escaping &how, std::string_view in,
                 size_t reserved) noexcept
{
    for (size_t read = 0; read < in.size();) {
        const auto done = qo_str_scan::escape_some(
            path, how, in.data() + read, in.size() - read, out.text + out.used,
            out.size - out.used - reserved);
        read += done.read;
        out.used += done.written;
        const size_t left = in.size() - read;
        if (left > short_text) {
            resize(out, grown_size(out, read, left));
        } else if (left > 0) {
            append_rest(out, path, how, {in.data() + read, left}, reserved);
            break;
        }
    }
}

// in escaped as how says, between two wrap bytes unless wrap is 0. A long
// text gets a block with a margin, which is trimmed at the end.
char *escaped(Path path, const Escaping &how, std::string_view in, char wrap) noexcept
{
    if (in.size() <= short_text)
        return qo_str_scan::escape_short(path, how, in.data(), in.size(), wrap,
                                         allocate);
    const size_t wraps = wrap ? 1 : 0;
    const size_t reserved = wraps + 1; // the closing wrap and the terminator
    const size_t size = in.size() + in.size() / 8 + wraps + reserved;
    Output out{allocate(size), size, wraps};
    out.text[0] = wrap;
    escape_into(out, path, how, in, reserved);
    if (wrap)
        out.text[out.used++] = wrap;
    out.text[out.used++] = '\0';
    if (out.size - out.used > out.size / 8)
        resize(out, out.used);
    return out.text;
}

// Single quotes keep every byte as it is but the quote itself, which
// closes the quoted text, comes escaped, and opens it again.
constexpr Escaping shell_word{qo_str_scan::ByteSet("'"), '\\', '\''};

// Words a shell reads as its own syntax where a command starts (POSIX's
// and bash's): quoted there, they name a command again.
bool is_reserved(const char *word) noexcept
{
    static constexpr std::string_view reserved[] = {
        "case",     "coproc", "do", "done",   "elif", "else", "esac",  "fi",   "for",
        "function", "if",     "in", "select", "then", "time", "until", "while"};
    return std::find(std::begin(reserved), std::end(reserved), word) !=
           std::end(reserved);
}

// Bytes a shell reads literally; '=' too, except in the first word, where
// it would turn the word into an assignment, as a reserved word would
// start a compound command.
bool is_plain_word(const char *word, bool first) noexcept
{
    if (!*word || (first && is_reserved(word)))
        return false;
    for (const char *c = word; *c; ++c) {
        const bool alnum = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                           (*c >= '0' && *c <= '9');
        if (!alnum && !strchr(first ? "_@%+:,./-" : "_@%+=:,./-", *c))
            return false;
    }
    return true;
}

} // namespace

char *qo_str_scan::stresc_using(Path path, const char *input, const char *specials,
                                char escape, char quote) noexcept
{
    return escaped(path, {ByteSet::of(path, specials), escape, quote}, input, '\0');
}

char *qo_str_scan::shell_quote_using(Path path, const char *input) noexcept
{
    return escaped(path, shell_word, input, '\'');
}

extern "C" char *qo_stresc(const char *input, const char *specials, char escape,
                           char quote) noexcept
{
    const qo_err::Site here{__LINE__, __FILE__, "qo_stresc"};
    qo_err::require(input, here, "qo_stresc: NULL input");
    qo_err::require(specials, here, "qo_stresc: NULL specials");
    return qo_str_scan::stresc_using(qo_str_scan::best_path(), input, specials, escape,
                                     quote);
}

extern "C" char *qo_shell_quote(const char *input) noexcept
{
    qo_err::require(input, {__LINE__, __FILE__, "qo_shell_quote"},
                    "qo_shell_quote: NULL input");
    return qo_str_scan::shell_quote_using(qo_str_scan::best_path(), input);
}

char *qo_str::shell_word(const char *word, bool first) noexcept
{
    if (!is_plain_word(word, first))
        return qo_shell_quote(word);
    return copy_of(word);
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
    const Token token = token_at(input + at, separators);
    *cursor = cursor_after(at, token.skipped + token.length + 1);
    return copy_of({input + at + token.skipped, token.length});
}

extern "C" char *qo_str_substitute(const char *input, const char *token,
                                   const char *replacement) noexcept
{
    const qo_err::Site here{__LINE__, __FILE__, "qo_str_substitute"};
    qo_err::require(input, here, "qo_str_substitute: NULL input");
    qo_err::require(token, here, "qo_str_substitute: NULL token");
    qo_err::require(replacement, here, "qo_str_substitute: NULL replacement");
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
