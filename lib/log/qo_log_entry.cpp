// Laying out one entry: the header by hand, the message by hand for the
// conversions most messages use, by vsnprintf for the others.
#include "log/qo_log_entry_internal.h"
#include "log/qo_log_stamp_internal.h"

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

Header::Header(int level, int line, const char *file, const char *routine,
               unsigned stamps) noexcept
    : level_(level), line_(line), stamps_(stamps)
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
    const size_t who =
        (stamps_ & qo_log_stamps::who_flags) ? qo_log_stamps::who_max : 0;
    return who + (level_ <= 0 ? 6
                              : 3 + int_digits + 2 + file_size_ + 2 + routine_size_ +
                                    1 + int_digits + 2);
}

size_t Header::write(char *start) const noexcept
{
    char *at = start + qo_log_stamps::who(start, stamps_);
    if (level_ <= 0)
        return static_cast<size_t>(put(at, "INFO: ", 6) - start);
    at = put_int(put(at, "DBG", 3), level_);
    at = put(put(at, ": ", 2), file_, file_size_);
    at = put(put(at, "->", 2), routine_, routine_size_);
    at = put(put_int(put(at, "#", 1), line_), ": ", 2);
    return static_cast<size_t>(at - start);
}

bool Entry::build(const Header &header, const char *format, va_list ap,
                  unsigned stamps) noexcept
{
    stamps_ = stamps;
    start_ = front_ =
        (stamps & qo_log_stamps::time_flags) ? qo_log_stamps::when_max : 0;
    if (front_ + header.max_size() >= room_ &&
        !move_to(front_ + header.max_size() + 1, 0))
        return false;
    message_at_ = front_ + header.write(data_ + front_);
    va_list copy;
    va_copy(copy, ap);
    const bool simple = format_simple(data_ + message_at_, room_ - message_at_ - 1,
                                      format, copy, message_size_);
    va_end(copy);
    if (!simple && !format_any(format, ap))
        return false;
    if (stamps & QO_LOG_CONTINUED && !mark_continued())
        return false;
    data_[message_at_ + message_size_] = '\n';
    end_ = message_at_ + message_size_ + 1;
    return true;
}

void Entry::stamp_locked() noexcept
{
    if (!front_)
        return;
    char when[qo_log_stamps::when_max];
    const size_t n = qo_log_stamps::when_locked(when, stamps_);
    start_ = front_ - n;
    memcpy(data_ + start_, when, n);
}

// vsnprintf after the header, moving to the heap when the entry outgrows
// the room it has.
bool Entry::format_any(const char *format, va_list ap) noexcept
{
    va_list again;
    va_copy(again, ap);
    const int n = vsnprintf(data_ + message_at_, room_ - message_at_, format, ap);
    printed_ = n >= 0;
    message_size_ = printed_ ? static_cast<size_t>(n) : 0;
    bool built = true;
    if (message_at_ + message_size_ >= room_) {
        built = move_to(message_at_ + message_size_ + 1, message_at_);
        if (built)
            vsnprintf(data_ + message_at_, message_size_ + 1, format, again);
    }
    va_end(again);
    return built;
}

// Lines 2..n of the message get the mark, moving from the last line back
// so that each byte moves once; a line feed that ends the message ends the
// entry instead.
bool Entry::mark_continued() noexcept
{
    static constexpr char mark[] = "  | ";
    constexpr size_t mark_size = sizeof mark - 1;
    char *const first = data_ + message_at_;
    if (message_size_ && first[message_size_ - 1] == '\n')
        message_size_--;
    size_t breaks = 0;
    for (size_t i = 0; i < message_size_; i++)
        breaks += first[i] == '\n';
    if (!breaks)
        return true;
    const size_t marked = message_size_ + breaks * mark_size;
    if (message_at_ + marked >= room_ &&
        !move_to(message_at_ + marked + 1, message_at_ + message_size_))
        return false;
    char *const text = data_ + message_at_;
    char *from = text + message_size_, *to = text + marked;
    while (to != from) {
        char *const line_feed =
            static_cast<char *>(memrchr(text, '\n', static_cast<size_t>(from - text)));
        const size_t line = static_cast<size_t>(from - line_feed - 1);
        to -= line;
        memmove(to, line_feed + 1, line);
        to -= mark_size;
        memcpy(to, mark, mark_size);
        *--to = '\n';
        from = line_feed;
    }
    message_size_ = marked;
    return true;
}

bool Entry::move_to(size_t room, size_t keep) noexcept
{
    char *const heap = static_cast<char *>(malloc(room));
    if (!heap)
        return false;
    memcpy(heap, data_, keep);
    release();
    data_ = heap;
    room_ = room;
    return true;
}
