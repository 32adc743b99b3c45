// qo for C++: the C API of qo.h with value types and the caller's call site
// taken without a macro. Header-only: programs link the same libqo as C
// programs, and the library itself needs no C++ runtime.
//
// C++17 and later. Nothing here throws (a -fno-exceptions build works),
// but for what a callback given to qo::run throws itself, which comes out
// of qo::run (of a held job's wait()) once the command has ended: what
// ends the process in C ends it here, and so does a std::string_view
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
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
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

// Texts to and from C; qo::format_string<Args...> (format_for), a printf
// format checked against the types of Args while compiling.
#include "qo/text_detail.hpp"
#include "qo/format.hpp"

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

// qo::stop_run, qo::line_callback and qo::input_callback: the callables
// run_options takes.
#include "qo/callbacks.hpp"

namespace qo {

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
    // A held job's stdin is a pipe the caller feeds with job::write() and
    // ends with job::close_input(); it wins over the other inputs. qo::run
    // and qo::pipeline, which nobody can write to, refuse it.
    bool input_pipe = false;
    // on_output and on_errors also get the text of a line not ended yet
    // once its stream goes quiet: a progress report led by '\r' is seen as
    // it is drawn. A call whose text ends in neither '\n' nor '\r' is such
    // a piece, and the next call goes on with the same line.
    bool partial_lines = false;
    // Each stage's stderr apart, in run_result::stage_errors (errors then
    // gets none of it); a pipeline whose stderr only the log takes logs
    // each line named by its stage.
    bool capture_stage_errors = false;
};

struct run_result {
    int status = -1; // the wait status; -1: not started, or its status lost
    std::string output{}, errors{}; // every byte, NUL bytes included
    bool timed_out = false;         // ended by the deadline
    int error = 0; // errno of the run: why status is -1, ETIMEDOUT, ECANCELED or 0
    std::vector<int> statuses{}; // qo::pipeline: each stage's wait status, in order
    std::string why{};           // why status is -1, as the log says it; else empty
    bool stopped = false;        // ended by a callback's stop
    std::vector<std::string> stage_errors{}; // capture_stage_errors: each stage's

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

// run_options and argv as C takes them, and what a qo::job holds.
#include "qo/run_detail.hpp"

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
    const detail::c_stages c_stages(stages, "qo::pipeline", where);
    std::vector<int> statuses(stages.size(), -1);
    run_result result = detail::run_with(
        options, "qo::pipeline", where,
        [&](const qo_run_options *c) {
            return qo_pipeline_int(c_stages.get(), c, statuses.data(), where.line,
                                   where.file);
        },
        stages.size());
    result.statuses = std::move(statuses);
    return result;
}

// A command the caller holds (qo_start()): it runs while the caller goes
// on, and is served (bytes moved, callbacks called, the deadline acted on)
// in the caller's calls to serve() and wait(), in the thread that makes
// them. One thread at a time uses a job, but for stop(), which any thread
// or a signal handler may call.
//
// Move-only. Its end frees it (qo_job_free()): a command still running is
// stopped and reaped, its callbacks not called again (what they refer to
// may be gone by then) and what one threw dropped.
//
// A job that could not start holds no command: it reads false, pid() and
// fd() give -1, serve() true, and wait() status -1 with error and why, as
// qo::run gives them. A job moved from, or made empty, the same, its
// error EINVAL.
class job {
  public:
    job() noexcept = default;
    // Made by qo::start() and qo::pipeline_start().
    explicit job(std::unique_ptr<detail::held_job> held) noexcept
        : held_(std::move(held))
    {
    }
    job(job &&) noexcept = default;
    job &operator=(job &&) noexcept = default; // frees the job held until then

    // A command was started and is held (it may have ended since).
    explicit operator bool() const noexcept { return c() != nullptr; }

    // The process id of a stage (0: the first, or qo::start()'s command);
    // -1 when there is no such stage.
    pid_t pid(std::size_t stage = 0) const noexcept { return qo_job_pid(c(), stage); }

    // Readable whenever the job needs serving (bytes to move, a stage
    // ended, its deadline or grace reached, a stop asked): poll it, or
    // hand it to an event loop, and call serve(). Never read nor close it.
    int fd() const noexcept { return qo_job_fd(c()); }

    // Moves what can move, calls the callbacks, acts on the deadline,
    // waiting up to timeout for something to do (0: never blocks; less:
    // until the end). True once the job has ended and its output is all in.
    bool
    serve(std::chrono::milliseconds timeout = std::chrono::milliseconds(0)) noexcept
    {
        return !c() || qo_job_serve(c(), detail::wait_ms(timeout)) == 1;
    }

    // Serves the job to its end: the result, as qo::run gives it (statuses:
    // each stage's, from qo::pipeline_start()), and the same again on a
    // later call; errno as after qo::run. What a callback threw comes out
    // here, the command having ended, and on every later call.
    run_result wait()
    {
        for (;;)
            if (std::optional<run_result> ended = wait_for(-1))
                return std::move(*ended);
    }
    // The same, or nothing when timeout has passed with the job still
    // running: waiting again goes on where this left, nothing lost.
    std::optional<run_result> wait(std::chrono::milliseconds timeout)
    {
        return wait_for(detail::wait_ms(timeout));
    }

    // Bytes for the command's stdin (input_pipe), copied and written as the
    // pipe takes them: the caller never waits. The error, empty on success
    // (errno tells the same): std::errc::broken_pipe once the command has
    // closed its stdin or ended, never a SIGPIPE;
    // std::errc::invalid_argument without input_pipe or after
    // close_input(). An EPIPE is part of talking to a command: it comes
    // back, never thrown.
    std::error_code write(std::string_view data) noexcept
    {
        if (!c())
            return std::error_code(EPIPE, std::generic_category());
        return outcome(qo_job_write(c(), data.data(), data.size()));
    }
    // The end of the input: the pipe closes once what was written is in.
    std::error_code close_input() noexcept
    {
        return c() ? outcome(qo_job_close_input(c())) : std::error_code();
    }

    // sig to every stage and what it started; the job goes on (SIGHUP,
    // SIGUSR1: reload). std::errc::invalid_argument for a bad signal,
    // std::errc::no_such_process once the job has ended.
    std::error_code signal(int sig) noexcept
    {
        if (!c())
            return std::error_code(ESRCH, std::generic_category());
        return outcome(qo_job_signal(c(), sig));
    }

    // The stop sequence: stop_signal, SIGCONT, SIGKILL after the grace; the
    // result reads stopped (ECANCELED). From any thread, or a signal
    // handler, while another thread serves or waits, which it wakes at
    // once. Nothing once the job has ended.
    void stop() noexcept { qo_job_stop(c()); }

  private:
    qo_job *c() const noexcept { return held_ ? held_->get() : nullptr; }

    static std::error_code outcome(int done) noexcept
    {
        return done == 0 ? std::error_code()
                         : std::error_code(errno, std::generic_category());
    }

    std::optional<run_result> wait_for(int timeout_ms)
    {
        if (!held_)
            return detail::held_job::none();
        return held_->wait(timeout_ms);
    }

    std::unique_ptr<detail::held_job> held_;
};

// qo_start(): what qo::run runs, started and handed over as a job; every
// option holds, the deadline counted from now. The options are copied into
// the job: what the callables capture by reference must outlive it, or
// its wait(). Its log entries name the caller's file and line.
inline job start(std::initializer_list<std::string_view> argv, run_options options = {},
                 call_site where = call_site::current())
{
    const detail::c_argv words(argv, "qo::start", where);
    return job(detail::start(words.get(), std::move(options), where));
}

inline job start(const std::vector<std::string> &argv, run_options options = {},
                 call_site where = call_site::current())
{
    return job(detail::start(detail::c_words(argv, "qo::start", where).data(),
                             std::move(options), where));
}

inline job start(const char *const *argv, run_options options = {},
                 call_site where = call_site::current())
{
    return job(detail::start(argv, std::move(options), where));
}

// qo_pipeline_start(): qo::pipeline's stages, started and held; wait()
// gives each stage's status in statuses.
inline job pipeline_start(const std::vector<std::vector<std::string>> &stages,
                          run_options options = {},
                          call_site where = call_site::current())
{
    const detail::c_stages c_stages(stages, "qo::pipeline_start", where);
    return job(detail::held_job::start(
        std::move(options), "qo::pipeline_start", where, stages.size(),
        [&](const qo_run_options *c) {
            return qo_pipeline_start_int(c_stages.get(), c, where.line, where.file);
        }));
}

} // namespace qo

#endif // QO_HPP
