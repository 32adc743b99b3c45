// Part of qo.hpp, installed with it: include <qo.hpp>, not this file,
// whose content may change in any release.
//
// What a run is given and what it gives back: qo::run_user,
// qo::run_options and qo::run_result.
#ifndef QO_OPTIONS_HPP
#define QO_OPTIONS_HPP

#include "text.hpp"
#include "callbacks.hpp"

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
    // it is drawn. A view whose text ends in neither '\n' nor '\r' is such
    // a piece, what came since the last call, and the next call goes on
    // with the same line; a qo::line holds the line's whole text so far.
    bool partial_lines = false;
    // Each stage's stderr apart, in run_result::stage_errors (errors then
    // gets none of it); a pipeline whose stderr only the log takes logs
    // each line named by its stage.
    bool capture_stage_errors = false;
    // Each line of each stage's stderr apart, with the stage's index (0
    // for the first), as it arrives: (std::size_t, std::string_view) or
    // (std::size_t, const qo::line &). It takes stderr from errors and
    // on_errors, as capture_stage_errors does; both may be set.
    stage_line_callback on_stage_errors{};
    // The commands in a cgroup v2 group of their own, killed whole at the
    // end: nothing they start outlives the run (QO_RUN_CGROUP).
    bool contain = false;
    std::string cgroup{}; // the folder the group is made in; empty: the caller's group
    qo_cgroup_limits cgroup_limits{}; // zeros: none
};

// What a stage used (struct qo_run_usage): CPU time and peak resident size.
struct run_usage {
    std::chrono::microseconds user{0}, system{0};
    std::size_t peak_kib = 0;
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
    // From the start to the end: a held job's as its outcome entry logs
    // it; qo::run's and qo::pipeline's measured around the call, which may
    // read a few ms more. 0 for a job that did not start.
    std::chrono::milliseconds duration{0};
    std::vector<run_usage> usage{}; // each stage's, in order

    // A run cut short by its deadline or a stop is no success, whatever
    // its commands did with the stop signal.
    bool ok() const noexcept { return status == 0 && !timed_out && !stopped; }
    // Ctrl-C or Ctrl-\ ended it: a stage (the command) was killed by
    // SIGINT or SIGQUIT.
    bool interrupted() const noexcept
    {
        const auto by_the_user = [](int stage) {
            return stage != -1 && WIFSIGNALED(stage) &&
                   (WTERMSIG(stage) == SIGINT || WTERMSIG(stage) == SIGQUIT);
        };
        for (const int stage : statuses)
            if (by_the_user(stage))
                return true;
        return by_the_user(status);
    }
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

#endif // QO_OPTIONS_HPP
