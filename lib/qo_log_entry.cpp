// Laying out one entry: the header by hand, the message by hand for the
// conversions most messages use, by vsnprintf for the others.
#include "qo_log_entry_internal.h"

#include <cstdio>
#include <cstring>

namespace {

char *put(char *at, const char *text, size_t size) noexcept
{
    memcpy(at, text, size);
    return at + size;
}

char *put_int(char *at, int value) noexcept
{
    char digits[12];
    char *first = digits + sizeof digits;
    unsigned magnitude = value < 0 ? 0U - static_cast<unsigned>(value) : value;
    do {
        *--first = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0)
        *--first = '-';
    return put(at, first, static_cast<size_t>(digits + sizeof digits - first));
}

// The conversions most messages use (%s, %d, %%), written by hand into
// room bytes at out: vsnprintf costs more than the rest of an entry. False
// at any other conversion, or when the room runs out, and vsnprintf then
// does it all again from the start.
[[gnu::format(printf, 3, 0)]] bool format_simple(char *out, size_t room,
                                                 const char *format, va_list ap,
                                                 size_t &size) noexcept
{
    char *at = out;
    const char *const end = out + room;
    for (const char *f = format; *f; f++) {
        const char *literal = strchrnul(f, '%');
        if (literal != f) {
            if (static_cast<size_t>(literal - f) > static_cast<size_t>(end - at))
                return false;
            at = put(at, f, static_cast<size_t>(literal - f));
            f = literal;
            if (!*f)
                break;
        }
        char digits[12];
        const char *text = digits;
        size_t n = 0;
        switch (*++f) {
        case 's':
            text = va_arg(ap, const char *);
            text = text ? text : "(null)";
            n = strlen(text);
            break;
        case 'd':
            n = static_cast<size_t>(put_int(digits, va_arg(ap, int)) - digits);
            break;
        case '%':
            text = "%";
            n = 1;
            break;
        default:
            return false;
        }
        if (n > static_cast<size_t>(end - at))
            return false;
        at = put(at, text, n);
    }
    size = static_cast<size_t>(at - out);
    return true;
}

} // namespace

using qo_log_entry::Entry;
using qo_log_entry::Header;

Header::Header(int level, int line, const char *file, const char *routine) noexcept
    : level_(level), line_(line)
{
    if (level_ <= 0)
        return;
    file_ = file ? file : "(null)";
    routine_ = routine ? routine : "(null)";
    file_size_ = strlen(file_);
    routine_size_ = strlen(routine_);
}

size_t Header::max_size() const noexcept
{
    constexpr size_t int_digits = 11;
    return level_ <= 0 ? 6
                       : 3 + int_digits + 2 + file_size_ + 2 + routine_size_ + 1 +
                             int_digits + 2;
}

size_t Header::write(char *start) const noexcept
{
    if (level_ <= 0)
        return static_cast<size_t>(put(start, "INFO: ", 6) - start);
    char *at = put_int(put(start, "DBG", 3), level_);
    at = put(put(at, ": ", 2), file_, file_size_);
    at = put(put(at, "->", 2), routine_, routine_size_);
    at = put(put_int(put(at, "#", 1), line_), ": ", 2);
    return static_cast<size_t>(at - start);
}

bool Entry::build(const Header &header, const char *format, va_list ap) noexcept
{
    size_t room = sizeof stack_;
    if (header.max_size() >= room) {
        room = header.max_size() + 1;
        if (!move_to(static_cast<char *>(malloc(room)), 0))
            return false;
    }
    const size_t head = header.write(data_);
    size_t message = 0;
    va_list copy;
    va_copy(copy, ap);
    const bool simple =
        format_simple(data_ + head, room - head - 1, format, copy, message);
    va_end(copy);
    if (!simple && !format_any(head, room, format, ap, message))
        return false;
    data_[head + message] = '\n';
    size_ = head + message + 1;
    return true;
}

// vsnprintf after the header, moving to the heap when the entry outgrows
// the room it has.
bool Entry::format_any(size_t head, size_t room, const char *format, va_list ap,
                       size_t &message) noexcept
{
    va_list again;
    va_copy(again, ap);
    const int n = vsnprintf(data_ + head, room - head, format, ap);
    printed_ = n >= 0;
    message = printed_ ? static_cast<size_t>(n) : 0;
    bool built = true;
    if (head + message >= room) {
        built = move_to(static_cast<char *>(malloc(head + message + 1)), head);
        if (built)
            vsnprintf(data_ + head, message + 1, format, again);
    }
    va_end(again);
    return built;
}

bool Entry::move_to(char *heap, size_t keep) noexcept
{
    if (!heap)
        return false;
    memcpy(heap, data_, keep);
    release();
    data_ = heap;
    return true;
}
