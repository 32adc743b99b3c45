// Log entries read back from the text a log file holds: each stamp where
// and as it should be, the header's level, file, routine and line, and the
// message; with continued lines, a run of entries splits back into the
// same entries, since every line that starts an entry starts otherwise
// than a continued one.
#include "check.h"
#include "log/qo_log_entry_internal.h"
#include "log/qo_log_stamp_internal.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr char mark[] = "  | ";

struct Made {
    int level, line;
    std::string file, routine, message; // the message as written
};

[[gnu::format(printf, 4, 5)]] std::string build(const qo_log_entry::Header &header,
                                                unsigned stamps,
                                                qo_log_entry::Entry &entry,
                                                const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    FUZZ_CHECK(entry.build(header, format, ap, stamps));
    va_end(ap);
    entry.stamp_locked();
    return std::string(entry.data(), entry.size());
}

// One entry from a message through one of the formats, the simple ones
// written by hand and the others by vsnprintf; the message it should have.
std::string make(FuzzedDataProvider &fuzz, unsigned stamps, Made &made)
{
    made.level = fuzz.ConsumeIntegralInRange(-2, 12);
    made.line = fuzz.ConsumeIntegral<int>();
    // What a reader splits the header at does not occur in a file's name
    // nor in a routine's.
    made.file = fuzz.ConsumeRandomLengthString(40).c_str();
    for (size_t at; (at = made.file.find("->")) != std::string::npos;)
        made.file.erase(at, 2);
    made.routine = fuzz.ConsumeRandomLengthString(40).c_str();
    made.routine.erase(0, made.routine.find_last_of("#\n") + 1);
    made.file.erase(0, made.file.find_last_of('\n') + 1);
    std::string text = fuzz.ConsumeRandomLengthString(300).c_str();
    if (fuzz.ConsumeIntegralInRange(0, 7) == 0) // beyond the entry on the stack
        text.append(fuzz.ConsumeIntegralInRange<size_t>(0, 3000),
                    "\n\nab"[text.size() % 4]);
    const int number = fuzz.ConsumeIntegral<int>();
    const qo_log_entry::Header header(made.level, made.line, made.file.c_str(),
                                      made.routine.c_str(), stamps);
    qo_log_entry::Entry entry;
    char figure[32];
    switch (fuzz.ConsumeIntegralInRange(0, 3)) {
    case 0:
        made.message = text;
        return build(header, stamps, entry, "%s", text.c_str());
    case 1:
        made.message = text + "%" + std::to_string(number);
        return build(header, stamps, entry, "%s%%%d", text.c_str(), number);
    case 2: {
        const int keep =
            fuzz.ConsumeIntegralInRange<int>(0, static_cast<int>(text.size()));
        made.message = text.substr(0, static_cast<size_t>(keep));
        return build(header, stamps, entry, "%.*s", keep, text.c_str());
    }
    default:
        snprintf(figure, sizeof figure, "[%5x] ", static_cast<unsigned>(number));
        made.message = figure + text;
        return build(header, stamps, entry, "[%5x] %s", static_cast<unsigned>(number),
                     text.c_str());
    }
}

bool take(const std::string &text, size_t &at, const std::string &expected)
{
    if (text.compare(at, expected.size(), expected) != 0)
        return false;
    at += expected.size();
    return true;
}

// n digits or more (at least one), with a sign when signed says so.
bool take_number(const std::string &text, size_t &at, size_t n,
                 std::string *out = nullptr, bool sign = false)
{
    const size_t from = at;
    if (sign && at < text.size() && text[at] == '-')
        at++;
    const size_t digits = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9')
        at++;
    if (out)
        *out = text.substr(from, at - from);
    return at - digits >= std::max<size_t>(n, 1);
}

bool take_exact_digits(const std::string &text, size_t &at, size_t n)
{
    const size_t from = at;
    return take_number(text, at, n) && at - from == n;
}

// "2026-12-09 10:42:07.123 " (".123456 " with microseconds), then
// "12.345678 " for the uptime.
bool take_time(const std::string &text, size_t &at, unsigned stamps)
{
    if (stamps & (QO_LOG_TIME | QO_LOG_TIME_US)) {
        const bool ok = take_exact_digits(text, at, 4) && take(text, at, "-") &&
                        take_exact_digits(text, at, 2) && take(text, at, "-") &&
                        take_exact_digits(text, at, 2) && take(text, at, " ") &&
                        take_exact_digits(text, at, 2) && take(text, at, ":") &&
                        take_exact_digits(text, at, 2) && take(text, at, ":") &&
                        take_exact_digits(text, at, 2) && take(text, at, ".") &&
                        take_exact_digits(text, at, stamps & QO_LOG_TIME_US ? 6 : 3) &&
                        take(text, at, " ");
        if (!ok)
            return false;
    }
    if (stamps & QO_LOG_UPTIME)
        return take_number(text, at, 1) && take(text, at, ".") &&
               take_exact_digits(text, at, 6) && take(text, at, " ");
    return true;
}

// "[pid/tid] ", "[pid] " or "[/tid] ".
bool take_who(const std::string &text, size_t &at, unsigned stamps)
{
    if (!(stamps & (QO_LOG_PID | QO_LOG_TID)))
        return true;
    std::string who = "[";
    if (stamps & QO_LOG_PID)
        who += std::to_string(getpid());
    if (stamps & QO_LOG_TID)
        who += "/" + std::to_string(qo_log_stamps::tid());
    return take(text, at, who + "] ");
}

// "INFO: ", or "DBG<level>: <file>-><routine>#<line>: ": the file ends at
// the first "->", the routine at the first '#'.
bool take_header(const std::string &text, size_t &at, Made &read)
{
    if (take(text, at, "INFO: ")) {
        read.level = 0;
        return true;
    }
    std::string figure;
    if (!take(text, at, "DBG") || !take_number(text, at, 1, &figure, true) ||
        !take(text, at, ": "))
        return false;
    read.level = std::stoi(figure);
    const size_t arrow = text.find("->", at);
    if (arrow == std::string::npos)
        return false;
    read.file = text.substr(at, arrow - at);
    at = arrow + 2;
    const size_t hash = text.find('#', at);
    if (hash == std::string::npos)
        return false;
    read.routine = text.substr(at, hash - at);
    at = hash + 1;
    if (!take_number(text, at, 1, &figure, true) || !take(text, at, ": "))
        return false;
    read.line = std::stoi(figure);
    return true;
}

// The entries of a log's text with continued lines: an entry is a line and
// the lines that follow it with the mark.
std::vector<std::string> split_entries(const std::string &text)
{
    std::vector<std::string> entries;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        FUZZ_CHECK(end != std::string::npos);
        while (text.compare(end + 1, strlen(mark), mark) == 0)
            end = text.find('\n', end + 1);
        entries.push_back(text.substr(at, end + 1 - at));
        at = end + 1;
    }
    return entries;
}

// One entry read back: its stamps, header and message, the continued lines
// joined again.
Made parse(const std::string &entry, unsigned stamps)
{
    Made read{};
    size_t at = 0;
    FUZZ_CHECK(take_time(entry, at, stamps));
    FUZZ_CHECK(take_who(entry, at, stamps));
    FUZZ_CHECK(take_header(entry, at, read));
    FUZZ_CHECK(!entry.empty() && entry.back() == '\n');
    std::string body = entry.substr(at, entry.size() - 1 - at);
    if (stamps & QO_LOG_CONTINUED)
        for (size_t line_feed = 0;
             (line_feed = body.find('\n', line_feed)) != std::string::npos;
             ++line_feed) {
            FUZZ_CHECK(body.compare(line_feed + 1, strlen(mark), mark) == 0);
            body.erase(line_feed + 1, strlen(mark));
        }
    read.message = body;
    return read;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fuzz(data, size);
    const unsigned stamps = fuzz.ConsumeIntegral<unsigned char>() & 0x3fu;
    // Without continued lines, an entry holds its message's line feeds as
    // they are: one entry alone can be told from the text.
    const int count = stamps & QO_LOG_CONTINUED ? fuzz.ConsumeIntegralInRange(1, 3) : 1;
    std::vector<Made> made(static_cast<size_t>(count));
    std::string log;
    for (Made &one : made)
        log += make(fuzz, stamps, one);

    const std::vector<std::string> entries =
        stamps & QO_LOG_CONTINUED ? split_entries(log) : std::vector<std::string>{log};
    FUZZ_CHECK(entries.size() == made.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const Made read = parse(entries[i], stamps);
        Made expected = made[i];
        if (stamps & QO_LOG_CONTINUED && !expected.message.empty() &&
            expected.message.back() == '\n')
            expected.message.pop_back();
        if (expected.level <= 0) {
            FUZZ_CHECK(read.level == 0);
        } else {
            FUZZ_CHECK(read.level == expected.level && read.line == expected.line);
            FUZZ_CHECK(read.file == expected.file && read.routine == expected.routine);
        }
        FUZZ_CHECK(read.message == expected.message);
    }
    return 0;
}
