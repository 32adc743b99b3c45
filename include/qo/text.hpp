// Part of qo.hpp, installed with it: include <qo.hpp>, not this file,
// whose content may change in any release.
//
// The log, formats and strings in C++: qo::log, qo::format, the string
// helpers and qo::status_text.
#ifndef QO_TEXT_HPP
#define QO_TEXT_HPP

#include "base.hpp"
#include "text_detail.hpp"
#include "format.hpp"

namespace qo {

// The format reaches qo_log_int() and qo_asprintf() as a variable: their
// attribute cannot see it, format_string has checked it instead.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
#endif

// One log entry, as qo_log() writes it, with the caller's file, routine and
// line. As in C, an entry above the level is neither formatted nor written;
// the arguments themselves are evaluated before the call, whatever the
// level, as for any C++ function: no wrapper can skip them, so compute an
// expensive one only where the level the program set lets its entry pass.
template <class... Args>
void log(int level, format_for<Args...> fmt, const Args &...args) noexcept
{
    static_assert((detail::printable<std::decay_t<Args>>() && ...),
                  "qo::log: an argument that printf cannot take");
    const call_site &where = fmt.where();
    // The exported level, once qo.h has it, is tested here.
    qo_log_int(level, where.line, where.file, where.function, fmt.c_str(),
               detail::c_arg(args)...);
}

// What each log entry's header adds, as qo_log_stamp() takes it: combine
// with |, as log_stamp(log_stamps::time | log_stamps::tid).
enum class log_stamps : unsigned {
    none = 0,
    time = QO_LOG_TIME,
    time_us = QO_LOG_TIME_US,
    uptime = QO_LOG_UPTIME,
    pid = QO_LOG_PID,
    tid = QO_LOG_TID,
    continued = QO_LOG_CONTINUED,
};

constexpr log_stamps operator|(log_stamps a, log_stamps b) noexcept
{
    return static_cast<log_stamps>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}

inline void log_stamp(log_stamps what) noexcept
{
    qo_log_stamp(static_cast<unsigned>(what));
}

// The systemd journal as the log, as qo_log_open_journal() opens it; with
// no identifier, the journal gets the program's name.
inline void log_open_journal(const std::string &identifier, int level) noexcept
{
    qo_log_open_journal(identifier.c_str(), level);
}

inline void log_open_journal(int level) noexcept
{
    qo_log_open_journal(nullptr, level);
}

// The text a printf format makes. Ends the process, as qo_asprintf() does,
// when it cannot be made.
template <class... Args>
std::string format(format_for<Args...> fmt, const Args &...args)
{
    static_assert((detail::printable<std::decay_t<Args>>() && ...),
                  "qo::format: an argument that printf cannot take");
    text made;
    const call_site &where = fmt.where();
    (qo_asprintf)(made.slot(), where.line, where.file, fmt.c_str(),
                  detail::c_arg(args)...);
    return std::string(made.c_str());
}

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// One shell word that any POSIX shell reads back as exactly input.
inline std::string shell_quote(std::string_view input,
                               call_site where = call_site::current())
{
    const detail::c_copy in(input, "qo::shell_quote: NUL byte in input", where);
    return detail::adopt(qo_shell_quote(in.c_str()));
}

// input with each byte of specials preceded by escape; quote, when among
// the specials, closes the quoted text, is escaped and reopens it.
inline std::string stresc(std::string_view input, std::string_view specials,
                          char escape, char quote,
                          call_site where = call_site::current())
{
    const detail::c_copy in(input, "qo::stresc: NUL byte in input", where);
    const detail::c_copy set(specials, "qo::stresc: NUL byte in specials", where);
    return detail::adopt(qo_stresc(in.c_str(), set.c_str(), escape, quote));
}

// The tokens of input as qo_strtok() finds them: runs of separators before
// a token skipped, trailing separators giving one last empty token.
inline std::vector<std::string> split(std::string_view input,
                                      std::string_view separators,
                                      call_site where = call_site::current())
{
    const detail::c_copy in(input, "qo::split: NUL byte in input", where);
    const detail::c_copy set(separators, "qo::split: NUL byte in separators", where);
    std::vector<std::string> tokens;
    int cursor = 0;
    while (char *token = qo_strtok(in.c_str(), set.c_str(), &cursor))
        tokens.push_back(detail::adopt(token));
    return tokens;
}

// input with the first occurrence of token replaced by replacement.
inline std::string substitute(std::string_view input, std::string_view token,
                              std::string_view replacement,
                              call_site where = call_site::current())
{
    const detail::c_copy in(input, "qo::substitute: NUL byte in input", where);
    const detail::c_copy from(token, "qo::substitute: NUL byte in token", where);
    const detail::c_copy to(replacement, "qo::substitute: NUL byte in replacement",
                            where);
    return detail::adopt(qo_str_substitute(in.c_str(), from.c_str(), to.c_str()));
}

// setenv(name, value, 1), or the end of the process when the environment
// refuses, logged with the caller's call site.
inline void setenv(std::string_view name, std::string_view value,
                   call_site where = call_site::current())
{
    const detail::c_copy n(name, "qo::setenv: NUL byte in name", where);
    const detail::c_copy v(value, "qo::setenv: NUL byte in value", where);
    qo_setenv_int(n.c_str(), v.c_str(), where.line, where.file);
}

// "exited with status 2", "killed by signal 9 (Killed)", "could not be run".
inline std::string status_text(int status)
{
    return detail::adopt(qo_status_text(status));
}

} // namespace qo

#endif // QO_TEXT_HPP
