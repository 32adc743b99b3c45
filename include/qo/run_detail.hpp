// Part of qo.hpp, installed with it: include <qo.hpp>, not this file,
// whose content may change in any release.
//
// The run's and the held job's plumbing: argv, stages and run_options as
// C takes them, the slots and sizes that receive the captured text, the
// result made of them, and what a qo::job holds.
#ifndef QO_RUN_DETAIL_HPP
#define QO_RUN_DETAIL_HPP

#include "options.hpp"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qo {

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

// run_options as the C struct, with what it points into: the env array,
// the slots that receive the captured text and their sizes, and the
// callbacks. Holds pointers into the options it was made from, which must
// outlive it.
class c_run_options {
  public:
    // stages: how many the command has, for each one's stderr apart.
    c_run_options(const run_options &options, const char *routine,
                  const call_site &where, std::size_t stages = 1)
        : callbacks_(options.on_output, options.on_errors, options.on_input,
                     options.on_stage_errors, stages, routine, where)
    {
        if (options.capture_stage_errors) {
            stage_errors_.assign(stages, nullptr);
            c_.stage_errors = stage_errors_.data();
        }
        usage_.assign(stages, qo_run_usage{});
        c_.usage = usage_.data();
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
        c_.flags |= (options.input_pipe ? QO_RUN_INPUT_PIPE : 0U) |
                    (options.partial_lines ? QO_RUN_PARTIAL_LINES : 0U);
        callbacks_.install(c_);
        set_up_child(options);
        c_.cgroup = c_path(options.cgroup, routine, "cgroup", where);
        c_.stop_signal = options.stop_signal;
        // C reads 0 as its default: no grace at all is the shortest one.
        c_.grace_ms = milliseconds(options.grace, 1);
    }
    ~c_run_options()
    {
        for (char *text : stage_errors_)
            qo_free(&text);
    }
    c_run_options(const c_run_options &) = delete;
    c_run_options &operator=(const c_run_options &) = delete;

    const qo_run_options *get() const noexcept { return &c_; }

    // The caller's callables are not called again.
    void mute() noexcept { callbacks_.mute(); }

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
        for (const char *text : stage_errors_)
            made.stage_errors.emplace_back(text ? text : "");
        for (const qo_run_usage &used : usage_)
            made.usage.push_back({std::chrono::microseconds(used.user_us),
                                  std::chrono::microseconds(used.system_us),
                                  static_cast<std::size_t>(used.peak_kib)});
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
        if (o.contain)
            c_.flags |= QO_RUN_CGROUP, c_.cgroup_limits = &o.cgroup_limits;
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
    std::vector<char *> stage_errors_; // one slot per stage
    std::vector<qo_run_usage> usage_;  // one per stage
    text output_, errors_, why_;
    std::size_t output_size_ = unfilled, errors_size_ = unfilled;
    c_callbacks callbacks_;
};

// call(the C options) is qo_run_at() or qo_pipeline_at(), whose result
// becomes a run_result.
template <class Call>
run_result run_with(const run_options &options, const char *routine,
                    const call_site &where, Call call, std::size_t stages = 1)
{
    // Nobody could write to the pipe, and the command would wait for its
    // input until its deadline, or for ever: refused before anything
    // starts, as C refuses options that do not go together (-1, EINVAL,
    // why, a level-4 entry).
    if (options.input_pipe) {
        run_result refused;
        refused.error = errno = EINVAL;
        refused.why =
            std::string(routine) + ": input_pipe needs a held job (qo::start)";
        qo_log_int(4, where.line, where.file, where.function, "%s",
                   refused.why.c_str());
        return refused;
    }
    run_result result = [&] {
        const c_run_options c(options, routine, where, stages);
        const auto began = std::chrono::steady_clock::now();
        const int status = call(c.get());
        // The C runners set errno as their last act on every return, and
        // errno is this thread's: nothing between could have changed it.
        const int error = errno;
        const auto took = std::chrono::steady_clock::now() - began;
        run_result made = c.result(status, error);
        made.duration = std::chrono::duration_cast<std::chrono::milliseconds>(took);
        return made;
    }();
    // The slots are freed by now; errno tells as it does after the C call.
    errno = result.error;
    return result;
}

inline run_result run(const char *const *argv, const run_options &options,
                      const call_site &where)
{
    return run_with(options, "qo::run", where, [&](const qo_run_options *c) {
        return qo_run_at(argv, c, where.line, where.file, where.function);
    });
}

// Stages as qo_pipeline() reads them: each one's words, and the
// NULL-terminated array of them.
class c_stages {
  public:
    c_stages(const std::vector<std::vector<std::string>> &stages, const char *routine,
             const call_site &where)
    {
        // A word array moved into words_ keeps its block, which the
        // pointers lead into.
        words_.reserve(stages.size());
        pointers_.reserve(stages.size() + 1);
        for (const std::vector<std::string> &stage : stages) {
            words_.push_back(c_words(stage, routine, where));
            pointers_.push_back(words_.back().data());
        }
        pointers_.push_back(nullptr);
    }
    c_stages(const c_stages &) = delete;
    c_stages &operator=(const c_stages &) = delete;

    const char *const *const *get() const noexcept { return pointers_.data(); }

  private:
    std::vector<std::vector<const char *>> words_;
    std::vector<const char *const *> pointers_;
};

// A negative wait is no limit; past INT_MAX ms (24 days) one is as good
// as endless.
inline int wait_ms(std::chrono::milliseconds wait) noexcept
{
    const auto count = wait.count();
    if (count < 0)
        return -1;
    return count >= INT_MAX ? INT_MAX : static_cast<int>(count);
}

// A held job with what its C job points into, on the heap, so that a
// qo::job that moves leaves it where it is: a copy of the options (their
// texts and callables), the C struct with its slots and sizes, and the
// callbacks' context.
class held_job {
  public:
    // stages: how many statuses the result gives, 0 for one command, whose
    // result has none, as qo::run's.
    held_job(run_options options, const char *routine, const call_site &where,
             std::size_t stages)
        : options_(std::move(options)), where_(where),
          c_(options_, routine, where_, stages > 0 ? stages : 1), statuses_(stages, -1)
    {
    }
    held_job(const held_job &) = delete;
    held_job &operator=(const held_job &) = delete;
    // The C job goes first, as it points into the rest. What the callables
    // refer to may be gone by now (a lambda's captures, declared after the
    // qo::job): they are not called while the job is stopped and reaped.
    ~held_job()
    {
        if (job_) {
            c_.mute();
            qo_job_free(job_);
        }
    }

    // start(the C options) is qo_start_at() or qo_pipeline_start_at();
    // a job that could not start keeps its errno.
    template <class Start>
    static std::unique_ptr<held_job> start(run_options &&options, const char *routine,
                                           const call_site &where, std::size_t stages,
                                           Start start)
    {
        auto held =
            std::make_unique<held_job>(std::move(options), routine, where, stages);
        held->job_ = start(held->c_.get());
        held->start_error_ = held->job_ ? 0 : errno;
        return held;
    }

    qo_job *get() const noexcept { return job_; }

    // The result once the job has ended, the same on every call; nothing
    // while it runs.
    std::optional<run_result> wait(int timeout_ms)
    {
        int status = -1, error = start_error_;
        if (job_) {
            status = qo_job_wait(job_, timeout_ms,
                                 statuses_.empty() ? nullptr : statuses_.data());
            error = errno;
            if (status == -1 && error == EAGAIN)
                return std::nullopt;
        }
        run_result result = c_.result(status, error);
        result.statuses = statuses_;
        // The library's own count, as its outcome entry logs it.
        if (job_)
            result.duration = std::chrono::milliseconds(qo_job_duration_ms(job_));
        errno = error;
        return result;
    }

    // What a qo::job that holds nothing gives (moved from, or made empty).
    static run_result none()
    {
        run_result result;
        result.error = errno = EINVAL;
        result.why = "qo::job: no command held (moved from, or made empty)";
        return result;
    }

  private:
    run_options options_;
    call_site where_;
    c_run_options c_;
    std::vector<int> statuses_;
    qo_job *job_ = nullptr;
    int start_error_ = 0;
};

inline std::unique_ptr<held_job> start(const char *const *argv, run_options &&options,
                                       const call_site &where)
{
    return held_job::start(
        std::move(options), "qo::start", where, 0, [&](const qo_run_options *c) {
            return qo_start_at(argv, c, where.line, where.file, where.function);
        });
}

} // namespace detail

} // namespace qo

#endif // QO_RUN_DETAIL_HPP
