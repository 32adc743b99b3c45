// qo for C++: the C API of qo.h with value types and the caller's call site
// taken without a macro. Header-only: programs link the same libqo as C
// programs, and the library itself needs no C++ runtime.
//
// C++17 and later. Nothing here throws (a -fno-exceptions build works),
// but for what a callback given to qo::run throws itself, which comes out
// of qo::run once the command has ended: what ends the process in C ends
// it here, and so does a std::string_view
// argument holding a NUL byte, which C could never have been given
// ("qo::shell_quote: NUL byte in input"), with a level-1 log line naming
// the caller's file and line, as C names its call site.
//
// The caller's call site: a defaulted std::source_location where the
// library has it (C++20), the __builtin_FILE() family of GCC and Clang
// before. The routine in a log entry is what the compiler calls the
// function: "main" from the builtins, the signature ("int main()") from
// std::source_location with GCC.
//
// Formats: from C++20 a printf format given to qo::log or qo::format is
// checked against its arguments while compiling, and a mismatch, an
// unknown conversion or a wrong count is an error. %n and positional
// arguments (%1$d) are refused. In C++17 the format goes unchecked. A
// std::string argument passes as its c_str(); a std::string_view does not
// pass (it has no NUL to end it): give "%.*s" its size and data.
#ifndef QO_HPP
#define QO_HPP

#include <qo.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#if __cplusplus >= 202002L && __has_include(<version>)
#include <version>
#endif
#ifdef __cpp_lib_source_location
#include <source_location>
#endif

namespace qo {

// Where a call comes from, as the log shows it: file, routine, line.
struct call_site {
    const char *file;
    const char *function;
    int line;

#ifdef __cpp_lib_source_location
    static constexpr call_site
    current(std::source_location where = std::source_location::current()) noexcept
    {
        return {where.file_name(), where.function_name(),
                static_cast<int>(where.line())};
    }
#else
    static constexpr call_site current(const char *file = __builtin_FILE(),
                                       const char *function = __builtin_FUNCTION(),
                                       int line = __builtin_LINE()) noexcept
    {
        return {file, function, line};
    }
#endif
};

// Owns one string that a qo routine returned or stored in a slot, and
// gives it back with qo_free() when it goes.
class text {
  public:
    text() noexcept = default;
    explicit text(char *owned) noexcept : owned_(owned) {}
    text(text &&other) noexcept : owned_(other.release()) {}
    text &operator=(text &&other) noexcept
    {
        if (this != &other) {
            reset();
            owned_ = other.release();
        }
        return *this;
    }
    text(const text &) = delete;
    text &operator=(const text &) = delete;
    ~text() { reset(); }

    // Never NULL: an empty text reads as "".
    const char *c_str() const noexcept { return owned_ ? owned_ : ""; }
    operator std::string_view() const &noexcept { return c_str(); }
    // A view of a temporary would outlive the string it shows.
    operator std::string_view() const && = delete;
    explicit operator bool() const noexcept { return owned_ != nullptr; }

    // The string is the caller's from now on, to give back with qo_free().
    char *release() noexcept { return std::exchange(owned_, nullptr); }

    // For the C routines that fill or extend a slot: qo_strcat(t.slot(),
    // ...). Those that fill one (qo_asprintf) want the text empty.
    char **slot() noexcept { return &owned_; }

  private:
    void reset() noexcept
    {
        if (owned_)
            (qo_free)(&owned_, __LINE__, __FILE__);
    }

    char *owned_ = nullptr;
};

namespace detail {

[[noreturn]] inline void refuse(const char *message, const call_site &where) noexcept
{
    qo_log_int(1, where.line, where.file, where.function, "%s\nExiting...", message);
    qo_exit(-1, message);
}

// view's bytes as a C string, or the end of the process when one of them
// is a NUL, which would cut the text short without a word.
class c_copy {
  public:
    c_copy(std::string_view view, const char *refusal, const call_site &where) noexcept
    {
        const std::size_t size = view.size();
        if (size < sizeof small_) {
            text_ = small_;
            if (!copy_short(small_, view.data(), size))
                refuse(refusal, where);
        } else {
            if (view.find('\0') != std::string_view::npos)
                refuse(refusal, where);
            text_ = static_cast<char *>((qo_malloc)(size + 1, where.line, where.file));
            std::memcpy(text_, view.data(), size);
        }
        text_[size] = '\0';
    }
    c_copy(const c_copy &) = delete;
    c_copy &operator=(const c_copy &) = delete;
    ~c_copy()
    {
        if (text_ != small_)
            std::free(text_);
    }

    const char *c_str() const noexcept { return text_; }

  private:
    // Copies and looks for a NUL in one pass, eight bytes at a time: two
    // calls into the C library cost more than a short name takes.
    static bool copy_short(char *to, const char *from, std::size_t size) noexcept
    {
        constexpr std::uint64_t ones = 0x0101010101010101U;
        std::uint64_t nul = 0;
        std::size_t at = 0;
        for (; at + 8 <= size; at += 8) {
            std::uint64_t word;
            std::memcpy(&word, from + at, 8);
            std::memcpy(to + at, &word, 8);
            nul |= (word - ones) & ~word & (ones << 7);
        }
        for (; at < size; at++)
            nul |= (to[at] = from[at]) == '\0';
        return nul == 0;
    }

    char small_[128];
    char *text_;
};

inline std::string adopt(char *owned)
{
    const text kept(owned);
    return std::string(kept.c_str());
}

// What a printf conversion needs of its argument, and what an argument
// gives after the default promotions: 'i' integer, 'f' floating, 's' char
// text, 'S' wide text, 'p' other pointer, '?' nothing printf takes.
struct arg_kind {
    char type;
    std::size_t size;
};

template <class T> constexpr arg_kind kind_of() noexcept
{
    if constexpr (std::is_same_v<T, std::string>) {
        return {'s', 0};
    } else if constexpr (std::is_pointer_v<T>) {
        using pointee = std::remove_cv_t<std::remove_pointer_t<T>>;
        if constexpr (std::is_same_v<pointee, char>)
            return {'s', 0};
        else if constexpr (std::is_same_v<pointee, wchar_t>)
            return {'S', 0};
        else
            return {'p', 0};
    } else if constexpr (std::is_null_pointer_v<T>) {
        return {'p', 0};
    } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
        return {'i', sizeof(T) < sizeof(int) ? sizeof(int) : sizeof(T)};
    } else if constexpr (std::is_floating_point_v<T>) {
        return {'f', sizeof(T) < sizeof(double) ? sizeof(double) : sizeof(T)};
    } else {
        return {'?', 0};
    }
}

// Not constexpr: reached while checking a format, each one stops the
// compilation with its name in the error.
inline void printf_conversion_unknown_or_refused() noexcept {}
inline void printf_argument_does_not_match_its_conversion() noexcept {}
inline void printf_format_wants_more_arguments() noexcept {}
inline void printf_format_wants_fewer_arguments() noexcept {}

constexpr bool is_digit(char c) noexcept
{
    return c >= '0' && c <= '9';
}

constexpr const char *skip_digits(const char *at) noexcept
{
    while (is_digit(*at))
        at++;
    return at;
}

class format_checker {
  public:
    constexpr format_checker(const arg_kind *args, std::size_t count) noexcept
        : args_(args), count_(count)
    {
    }

    constexpr void check(const char *at) noexcept
    {
        while (*at)
            at = *at == '%' ? conversion(at + 1) : at + 1;
        if (used_ != count_)
            printf_format_wants_fewer_arguments();
    }

  private:
    // The conversion after a '%'; returns where the text goes on.
    constexpr const char *conversion(const char *at) noexcept
    {
        if (*at == '%')
            return at + 1;
        while (*at && std::string_view("-+ #0'I").find(*at) != std::string_view::npos)
            at++;
        at = width(at);
        if (*at == '$')
            printf_conversion_unknown_or_refused();
        if (*at == '.')
            at = width(at + 1);
        std::size_t size = sizeof(int);
        bool is_long = false, is_long_double = false;
        at = length(at, size, is_long, is_long_double);
        switch (*at) {
        case 'd':
        case 'i':
        case 'o':
        case 'u':
        case 'x':
        case 'X':
            take({'i', size});
            break;
        case 'c':
            take({'i', sizeof(int)});
            break;
        case 's':
            take({is_long ? 'S' : 's', 0});
            break;
        case 'p':
            take({'p', 0});
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            take({'f', is_long_double ? sizeof(long double) : sizeof(double)});
            break;
        case 'm':
            break;
        default: // %n included: a format has no business writing memory
            printf_conversion_unknown_or_refused();
            return at;
        }
        return at + 1;
    }

    constexpr const char *width(const char *at) noexcept
    {
        if (*at != '*')
            return skip_digits(at);
        take({'i', sizeof(int)});
        return at + 1;
    }

    static constexpr const char *length(const char *at, std::size_t &size,
                                        bool &is_long, bool &is_long_double) noexcept
    {
        switch (*at) {
        case 'h':
            return at[1] == 'h' ? at + 2 : at + 1;
        case 'l':
            is_long = at[1] != 'l';
            size = is_long ? sizeof(long) : sizeof(long long);
            return is_long ? at + 1 : at + 2;
        case 'q':
            size = sizeof(long long);
            return at + 1;
        case 'L':
            is_long_double = true;
            size = sizeof(long long);
            return at + 1;
        case 'j':
            size = sizeof(std::intmax_t);
            return at + 1;
        case 'z':
            size = sizeof(std::size_t);
            return at + 1;
        case 't':
            size = sizeof(std::ptrdiff_t);
            return at + 1;
        default:
            return at;
        }
    }

    constexpr void take(arg_kind wanted) noexcept
    {
        if (used_ == count_) {
            printf_format_wants_more_arguments();
            return;
        }
        const arg_kind given = args_[used_++];
        const bool fits =
            wanted.type == 'p'
                ? given.type == 'p' || given.type == 's' || given.type == 'S'
                : given.type == wanted.type && given.size == wanted.size;
        if (!fits)
            printf_argument_does_not_match_its_conversion();
    }

    const arg_kind *args_;
    std::size_t count_;
    std::size_t used_ = 0;
};

template <class... Args> constexpr void check_format(const char *format) noexcept
{
    constexpr arg_kind kinds[] = {kind_of<Args>()..., {'?', 0}};
    format_checker(kinds, sizeof...(Args)).check(format);
}

template <class T> struct same {
    using type = T;
};

// What reaches printf for an argument: a std::string as its C string, an
// enumeration as its promoted value, which a scoped one would not get
// through "...", and a float as the double it becomes there anyway (said
// here, not in the caller's -Wdouble-promotion).
template <class T> constexpr auto c_arg(const T &value) noexcept
{
    if constexpr (std::is_enum_v<T>)
        return +static_cast<std::underlying_type_t<T>>(value);
    else if constexpr (std::is_same_v<T, float>)
        return static_cast<double>(value);
    else
        return value;
}
inline const char *c_arg(const std::string &value) noexcept
{
    return value.c_str();
}

template <class T> constexpr bool printable() noexcept
{
    return kind_of<T>().type != '?';
}

} // namespace detail

#if __cplusplus >= 202002L
#define QO_FORMAT_CHECK consteval
#else
#define QO_FORMAT_CHECK constexpr
#endif

// A printf format, checked against the types of the arguments that follow
// it (from C++20), and the call site of the call it is written in.
template <class... Args> class format_string {
  public:
    QO_FORMAT_CHECK format_string(const char *format,
                                  call_site where = call_site::current()) noexcept
        : format_(format), where_(where)
    {
#if __cplusplus >= 202002L
        detail::check_format<std::decay_t<Args>...>(format);
#endif
    }

    constexpr const char *c_str() const noexcept
    {
        return format_;
    }
    constexpr const call_site &where() const noexcept
    {
        return where_;
    }

  private:
    const char *format_;
    call_site where_;
};

#undef QO_FORMAT_CHECK

template <class... Args>
using format_for = format_string<typename detail::same<Args>::type...>;

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

// What an on_input callback returns to stop the run; 0 ends the input.
inline constexpr std::size_t stop_run = static_cast<std::size_t>(-1);

// What run_options calls with each line of stdout or stderr, as a
// std::string_view that ends with the '\n' or '\r' that ended the line (a
// last piece, or a piece of a line longer than the run's bound, has none).
// The callable returns bool, false to stop the run, or nothing to let it go
// on; one returning int is refused, as a C habit (0 goes on) would read the
// other way round here. It is kept by value, copied with the options; it
// is called on the caller's thread, during the run, never after it.
class line_callback {
  public:
    line_callback() noexcept = default;
    template <class F, class = std::enable_if_t<
                           !std::is_same_v<std::decay_t<F>, line_callback> &&
                           std::is_invocable_v<std::decay_t<F> &, std::string_view>>>
    line_callback(F &&callable) : call_(adapt(std::forward<F>(callable)))
    {
    }

    explicit operator bool() const noexcept { return static_cast<bool>(call_); }
    // True: go on.
    bool operator()(std::string_view line) const { return call_(line); }

  private:
    template <class F> static std::function<bool(std::string_view)> adapt(F &&callable)
    {
        using result = std::invoke_result_t<std::decay_t<F> &, std::string_view>;
        static_assert(std::is_same_v<result, bool> || std::is_void_v<result>,
                      "qo::line_callback: return bool (false stops the run) or "
                      "nothing");
        if constexpr (std::is_void_v<result>)
            return [kept = std::forward<F>(callable)](std::string_view line) mutable {
                kept(line);
                return true;
            };
        else
            return std::forward<F>(callable);
    }

    std::function<bool(std::string_view)> call_;
};

// What run_options calls when the command can take more input: it puts up
// to room bytes in buffer and returns how many, 0 at the end of the input,
// or qo::stop_run (a negative count, if its type is signed) to stop the
// run.
class input_callback {
  public:
    input_callback() noexcept = default;
    template <class F, class = std::enable_if_t<
                           !std::is_same_v<std::decay_t<F>, input_callback> &&
                           std::is_invocable_v<std::decay_t<F> &, char *, std::size_t>>>
    input_callback(F &&callable) : call_(adapt(std::forward<F>(callable)))
    {
    }

    explicit operator bool() const noexcept { return static_cast<bool>(call_); }
    std::size_t operator()(char *buffer, std::size_t room) const
    {
        return call_(buffer, room);
    }

  private:
    template <class F>
    static std::function<std::size_t(char *, std::size_t)> adapt(F &&callable)
    {
        using result = std::invoke_result_t<std::decay_t<F> &, char *, std::size_t>;
        static_assert(std::is_integral_v<result> && !std::is_same_v<result, bool>,
                      "qo::input_callback: return the count of bytes put in the "
                      "buffer");
        if constexpr (std::is_same_v<result, std::size_t>)
            return std::forward<F>(callable);
        else
            return [kept = std::forward<F>(callable)](char *buffer,
                                                      std::size_t room) mutable {
                const result put = kept(buffer, room);
                if constexpr (std::is_signed_v<result>) {
                    if (put < 0)
                        return stop_run;
                }
                return static_cast<std::size_t>(put);
            };
    }

    std::function<std::size_t(char *, std::size_t)> call_;
};

// The user a command runs as: its ids and supplementary groups (none when
// empty).
struct run_user {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups{};
};

// What qo_run() does besides running the command; all defaults: nothing
// captured, stdin from /dev/null, no deadline. In C++20, with designated
// initialisers: qo::run({"make"}, {.capture_output = true, .timeout = 60s}).
// Every member has an initialiser, so that GCC's -Wmissing-field-initializers
// lets such a list name only some.
struct run_options {
    std::optional<std::string> input{}; // the command's stdin; none: /dev/null
    bool capture_output = false, capture_errors = false;
    bool merge_errors = false;            // stderr and stdout, as they come, in output
    std::chrono::milliseconds timeout{0}; // > 0: stop_signal at the deadline
    std::string dir{};                    // empty: the caller's
    std::vector<std::string> env{};       // "NAME=value" sets, "NAME" removes
    std::string input_file{}, output_file{}; // empty: none
    bool append_output = false;              // to output_file, not over it
    bool replace_output = false; // output_file replaced whole, on success only
    int log_output = 0;          // > 0: lines that nothing captures, logged at it
    // Each line of stdout (stderr) as it arrives, on the run's own loop,
    // beside what captures it. An exception thrown from a callback stops
    // the run and comes out of qo::run once the command has ended.
    line_callback on_output{}, on_errors{};
    input_callback on_input{};             // the command's stdin, as it can take more
    int stop_signal = SIGTERM;             // sent first at the deadline or a stop
    std::chrono::milliseconds grace{1000}; // then SIGKILL; 0 or less: 1 ms
    bool clear_env = false; // start from an empty environment, as env -i, then env
    // The caller's descriptors as the command's 0-2, winning over the other
    // ways to give that stream; never closed. An output_fd equal to
    // errors_fd gets both in order.
    std::optional<int> input_fd{}, output_fd{}, errors_fd{};
    std::vector<int> pass_fds{}; // at the same numbers; the only others it gets
    bool new_session = false;    // setsid: no terminal, and not the terminal's job
    std::optional<unsigned> umask{};
    std::optional<run_user> user{};  // needs the privilege (root)
    int nice = 0;                    // added to the command's niceness
    std::vector<qo_rlimit> limits{}; // {RLIMIT_CORE, 0, 0}: set in the command
};

struct run_result {
    int status = -1; // the wait status; -1: not started, or its status lost
    std::string output{}, errors{}; // every byte, NUL bytes included
    bool timed_out = false;         // ended by the deadline
    int error = 0; // errno of the run: why status is -1, ETIMEDOUT, ECANCELED or 0
    std::vector<int> statuses{}; // qo::pipeline: each stage's wait status, in order
    std::string why{};           // why status is -1, as the log says it; else empty
    bool stopped = false;        // ended by a callback's stop

    // A run cut short by its deadline or a stop is no success, whatever
    // its commands did with the stop signal.
    bool ok() const noexcept { return status == 0 && !timed_out && !stopped; }
    // "exited with status 2", "could not be run: Unable to run nosuch: No
    // such file or directory", "deadline reached: killed by signal 15
    // (Terminated)", "stopped: exited with status 1 | exited with status
    // 0" (a pipeline's stages).
    std::string describe() const
    {
        std::string text;
        for (const int stage : statuses)
            text += (text.empty() ? "" : " | ") + status_text(stage);
        if (text.empty() || status == -1)
            text = status_text(status);
        if (timed_out || stopped)
            text = (timed_out ? "deadline reached: " : "stopped: ") + text;
        return why.empty() ? text : text + ": " + why;
    }
};

namespace detail {

[[noreturn]] inline void refuse_nul(const char *routine, const char *what,
                                    const call_site &where) noexcept
{
    const std::string message = std::string(routine) + ": NUL byte in " + what;
    refuse(message.c_str(), where);
}

// A std::string ends in a NUL already: only one inside needs refusing.
inline const char *c_text(const std::string &text, const char *routine,
                          const char *what, const call_site &where) noexcept
{
    if (text.find('\0') != std::string::npos)
        refuse_nul(routine, what, where);
    return text.c_str();
}

// An empty path stands for none, as it names no file.
inline const char *c_path(const std::string &path, const char *routine,
                          const char *what, const call_site &where) noexcept
{
    return path.empty() ? nullptr : c_text(path, routine, what, where);
}

// Pointers to the words, NULL-terminated, as qo_run() reads argv: into
// the strings themselves, which end in a NUL already.
inline std::vector<const char *> c_words(const std::vector<std::string> &words,
                                         const char *routine, const call_site &where)
{
    std::vector<const char *> pointers;
    pointers.reserve(words.size() + 1);
    for (const std::string &word : words)
        pointers.push_back(c_text(word, routine, "argv", where));
    pointers.push_back(nullptr);
    return pointers;
}

// Views need copying: the words as one NUL-separated block, and the
// NULL-terminated array of pointers into it.
class c_argv {
  public:
    c_argv(std::initializer_list<std::string_view> words, const char *routine,
           const call_site &where)
    {
        std::vector<std::size_t> starts;
        starts.reserve(words.size());
        for (const std::string_view word : words) {
            if (word.find('\0') != std::string_view::npos)
                refuse_nul(routine, "argv", where);
            starts.push_back(block_.size());
            block_.append(word).push_back('\0');
        }
        pointers_.reserve(starts.size() + 1);
        for (const std::size_t start : starts)
            pointers_.push_back(block_.c_str() + start);
        pointers_.push_back(nullptr);
    }
    // The pointers lead into block_, which a move may relocate (SSO).
    c_argv(const c_argv &) = delete;
    c_argv &operator=(const c_argv &) = delete;

    const char *const *get() const noexcept { return pointers_.data(); }

  private:
    std::string block_;
    std::vector<const char *> pointers_;
};

// What the C callbacks reach through their context: the callables, and
// the exception one of them threw, kept until the command has ended. C
// never sees an exception: once one is kept, every callback asks for the
// stop without calling the caller's code again.
class c_callbacks {
  public:
    c_callbacks(const run_options &options, const char *routine,
                const call_site &where) noexcept
        : output_(options.on_output), errors_(options.on_errors),
          input_(options.on_input), routine_(routine), where_(where)
    {
    }
    c_callbacks(const c_callbacks &) = delete;
    c_callbacks &operator=(const c_callbacks &) = delete;

    // The C struct's callbacks for those that are set, and this as their
    // context.
    void install(qo_run_options &c) noexcept
    {
        c.context = this;
        if (output_)
            c.on_output = output_line;
        if (errors_)
            c.on_errors = errors_line;
        if (input_)
            c.on_input = input;
    }

    void rethrow() const
    {
#ifdef __cpp_exceptions
        if (thrown_)
            std::rethrow_exception(thrown_);
#endif
    }

  private:
    // Built without exceptions, nothing can be caught here: one that the
    // standard library throws inside a callback finds no handler and ends
    // the process through std::terminate(), before any frame is unwound.
    template <class Result, class Call> Result guarded(Result stop, Call call) noexcept
    {
#ifdef __cpp_exceptions
        if (thrown_)
            return stop;
        try {
            return call();
        } catch (...) {
            thrown_ = std::current_exception();
            return stop;
        }
#else
        static_cast<void>(stop);
        return call();
#endif
    }

    static int line(void *context, const line_callback &callback, const char *text,
                    std::size_t size) noexcept
    {
        return static_cast<c_callbacks *>(context)->guarded(1, [&] {
            return callback({text, size}) ? 0 : 1;
        });
    }
    static int output_line(void *context, const char *text, std::size_t size) noexcept
    {
        return line(context, static_cast<c_callbacks *>(context)->output_, text, size);
    }
    static int errors_line(void *context, const char *text, std::size_t size) noexcept
    {
        return line(context, static_cast<c_callbacks *>(context)->errors_, text, size);
    }

    static ssize_t input(void *context, char *buffer, std::size_t room) noexcept
    {
        auto &self = *static_cast<c_callbacks *>(context);
        const std::size_t put =
            self.guarded(stop_run, [&] { return self.input_(buffer, room); });
        if (put == stop_run)
            return -1;
        // More than the room would have the C call read past the buffer.
        if (put > room)
            refuse(self.routine_, "on_input returned more than the room", self.where_);
        return static_cast<ssize_t>(put);
    }

    [[noreturn]] static void refuse(const char *routine, const char *what,
                                    const call_site &where) noexcept
    {
        const std::string message = std::string(routine) + ": " + what;
        detail::refuse(message.c_str(), where);
    }

    const line_callback &output_, &errors_;
    const input_callback &input_;
    const char *routine_;
    const call_site &where_;
#ifdef __cpp_exceptions
    std::exception_ptr thrown_;
#endif
};

// run_options as the C struct, with what it points into: the env array,
// the slots that receive the captured text and their sizes, and the
// callbacks. Holds pointers into the options it was made from, which must
// outlive it.
class c_run_options {
  public:
    c_run_options(const run_options &options, const char *routine,
                  const call_site &where)
        : callbacks_(options, routine, where)
    {
        if (options.input)
            c_.input = c_text(*options.input, routine, "input", where);
        // qo_run() merges the streams when both slots are the same one.
        if (options.capture_output || options.merge_errors)
            c_.output = output_.slot();
        if (options.merge_errors)
            c_.errors = output_.slot();
        else if (options.capture_errors)
            c_.errors = errors_.slot();
        c_.output_size = &output_size_;
        c_.errors_size = &errors_size_;
        c_.why = why_.slot();
        c_.timeout_ms = milliseconds(options.timeout, 0);
        c_.dir = c_path(options.dir, routine, "dir", where);
        c_.log_output = options.log_output;
        if (!options.env.empty()) {
            env_.reserve(options.env.size() + 1);
            for (const std::string &change : options.env)
                env_.push_back(c_text(change, routine, "env", where));
            env_.push_back(nullptr);
            c_.env = env_.data();
        }
        c_.input_file = c_path(options.input_file, routine, "input_file", where);
        c_.output_file = c_path(options.output_file, routine, "output_file", where);
        c_.flags = (options.append_output ? QO_RUN_APPEND : 0U) |
                   (options.replace_output ? QO_RUN_REPLACE : 0U) |
                   (options.clear_env ? QO_RUN_CLEAR_ENV : 0U);
        callbacks_.install(c_);
        set_up_child(options);
        c_.stop_signal = options.stop_signal;
        // C reads 0 as its default: no grace at all is the shortest one.
        c_.grace_ms = milliseconds(options.grace, 1);
    }
    c_run_options(const c_run_options &) = delete;
    c_run_options &operator=(const c_run_options &) = delete;

    const qo_run_options *get() const noexcept { return &c_; }

    // error: errno as the C call left it, read before anything else ran.
    // What a callback threw comes out here, the command having ended.
    run_result result(int status, int error) const
    {
        callbacks_.rethrow();
        run_result made;
        made.status = status;
        made.output = captured(output_, output_size_);
        made.errors = captured(errors_, errors_size_);
        made.timed_out = status != -1 && error == ETIMEDOUT;
        made.stopped = status != -1 && error == ECANCELED;
        made.error = error;
        made.why = why_.c_str();
        return made;
    }

  private:
    // The caller's descriptors and the child's setup; the lists get their
    // ends.
    void set_up_child(const run_options &o)
    {
        const std::optional<int> fds[] = {o.input_fd, o.output_fd, o.errors_fd};
        int *c_fds[] = {&c_.input_fd, &c_.output_fd, &c_.errors_fd};
        const unsigned flags[] = {QO_RUN_INPUT_FD, QO_RUN_OUTPUT_FD, QO_RUN_ERRORS_FD};
        for (int i = 0; i < 3; ++i)
            if (fds[i])
                *c_fds[i] = *fds[i], c_.flags |= flags[i];
        if (!o.pass_fds.empty()) {
            pass_fds_ = o.pass_fds;
            pass_fds_.push_back(-1);
            c_.pass_fds = pass_fds_.data();
        }
        c_.flags |= (o.new_session ? QO_RUN_NEW_SESSION : 0U) |
                    (o.umask ? QO_RUN_UMASK : 0U) | (o.user ? QO_RUN_USER : 0U);
        c_.umask = o.umask.value_or(0);
        if (o.user) {
            c_.uid = o.user->uid, c_.gid = o.user->gid;
            c_.groups = o.user->groups.data(), c_.groups_count = o.user->groups.size();
        }
        c_.nice = o.nice;
        if (!o.limits.empty()) {
            limits_ = o.limits;
            limits_.push_back({-1, 0, 0});
            c_.limits = limits_.data();
        }
    }

    // Past INT_MAX ms (24 days) a wait is as good as endless, but kept.
    static int milliseconds(std::chrono::milliseconds wait, int least) noexcept
    {
        const auto count = wait.count();
        if (count <= 0)
            return least;
        return count >= INT_MAX ? INT_MAX : static_cast<int>(count);
    }

    // The size tells where the text ends, NUL bytes and all; a library
    // older than this header leaves it unfilled, and the text ends at its
    // first NUL.
    static std::string captured(const text &slot, std::size_t size)
    {
        if (!slot)
            return {};
        return size == unfilled ? std::string(slot.c_str())
                                : std::string(slot.c_str(), size);
    }
    static constexpr std::size_t unfilled = static_cast<std::size_t>(-1);

    qo_run_options c_{};
    std::vector<const char *> env_;
    std::vector<int> pass_fds_;
    std::vector<qo_rlimit> limits_;
    text output_, errors_, why_;
    std::size_t output_size_ = unfilled, errors_size_ = unfilled;
    c_callbacks callbacks_;
};

// call(the C options) is qo_run_int() or qo_pipeline_int(), whose result
// becomes a run_result.
template <class Call>
run_result run_with(const run_options &options, const char *routine,
                    const call_site &where, Call call)
{
    run_result result = [&] {
        const c_run_options c(options, routine, where);
        const int status = call(c.get());
        // The C runners set errno as their last act on every return, and
        // errno is this thread's: nothing between could have changed it.
        const int error = errno;
        return c.result(status, error);
    }();
    // The slots are freed by now; errno tells as it does after the C call.
    errno = result.error;
    return result;
}

inline run_result run(const char *const *argv, const run_options &options,
                      const call_site &where)
{
    return run_with(options, "qo::run", where, [&](const qo_run_options *c) {
        return qo_run_int(argv, c, where.line, where.file);
    });
}

} // namespace detail

// qo_run(): argv[0], searched in PATH when it has no slash, with the
// arguments, without a shell; every guarantee of the C call holds. The
// run's log entries name the caller's file and line.
inline run_result run(std::initializer_list<std::string_view> argv,
                      const run_options &options = {},
                      call_site where = call_site::current())
{
    const detail::c_argv words(argv, "qo::run", where);
    return detail::run(words.get(), options, where);
}

inline run_result run(const std::vector<std::string> &argv,
                      const run_options &options = {},
                      call_site where = call_site::current())
{
    return detail::run(detail::c_words(argv, "qo::run", where).data(), options, where);
}

// A NULL-terminated argv as C has it: qo::run(argv + 1) in main.
inline run_result run(const char *const *argv, const run_options &options = {},
                      call_site where = call_site::current())
{
    return detail::run(argv, options, where);
}

// qo_pipeline(): each stage's stdout feeds the next stage's stdin, in one
// job with one deadline; input and input_file feed the first stage,
// output and output_file take the last one's stdout, errors every stage's
// stderr. status follows bash's pipefail (a stage killed by SIGPIPE after
// the stages behind it ended well does not count); statuses has each
// stage's own.
inline run_result pipeline(const std::vector<std::vector<std::string>> &stages,
                           const run_options &options = {},
                           call_site where = call_site::current())
{
    // Reserved up front: the C array points into the words' own blocks.
    std::vector<std::vector<const char *>> words;
    words.reserve(stages.size());
    std::vector<const char *const *> c_stages;
    c_stages.reserve(stages.size() + 1);
    for (const std::vector<std::string> &stage : stages) {
        words.push_back(detail::c_words(stage, "qo::pipeline", where));
        c_stages.push_back(words.back().data());
    }
    c_stages.push_back(nullptr);
    std::vector<int> statuses(stages.size(), -1);
    run_result result =
        detail::run_with(options, "qo::pipeline", where, [&](const qo_run_options *c) {
            return qo_pipeline_int(c_stages.data(), c, statuses.data(), where.line,
                                   where.file);
        });
    result.statuses = std::move(statuses);
    return result;
}

} // namespace qo

#endif // QO_HPP
