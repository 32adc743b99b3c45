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
//
// This file is the interface: the value types and the calls. What they
// are made of is in headers beside it, which it includes where they fit
// and which are not meant to be included by themselves: qo_text_detail.hpp
// (texts to and from C), qo_format.hpp (format checking), qo_callbacks.hpp
// (the callables run_options takes) and qo_run_detail.hpp (the run and
// job plumbing).
#ifndef QO_HPP
#define QO_HPP

#include <qo.h>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
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


} // namespace qo

#include "qo_text_detail.hpp"
#include "qo_format.hpp"

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

#include "qo_callbacks.hpp"

namespace qo {

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

} // namespace qo

#include "qo_run_detail.hpp"

namespace qo {

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
