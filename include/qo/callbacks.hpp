// Part of qo.hpp, installed with it: include <qo.hpp>, not this file,
// whose content may change in any release.
//
// The callables run_options takes (qo::line_callback, qo::input_callback)
// and what the C callbacks reach through their context: the caller's
// callables, and what they throw kept from C.
#ifndef QO_CALLBACKS_HPP
#define QO_CALLBACKS_HPP

#include "text.hpp"

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <type_traits>
#include <utility>
#include <vector>

namespace qo {

// What an on_input callback returns to stop the run; 0 ends the input.
inline constexpr std::size_t stop_run = static_cast<std::size_t>(-1);

// A line as a line callback taking it sees it: its text without its
// ending (\n, \r\n or \r), and whether that ending has come. Valid for the
// call only.
struct line {
    std::string_view text;
    bool complete = true; // false: the line goes on, text is what came so far
};

// What run_options calls with each line of stdout or stderr. A callable
// taking a std::string_view gets the bytes as the run hands them out: a
// line with the '\n' or '\r' that ended it, or a piece without one (a
// last piece, a piece of a line longer than the run's bound, or with
// partial_lines the text new since the last call): what comes next goes
// on with the same line.
//
// A callable taking a qo::line gets whole lines instead: the text without
// its ending, \r\n counting as one, and complete once the ending has come.
// A line that comes in pieces comes as it grows, each call holding its
// whole text so far (complete false), then once more complete; the last
// line of a stream that ended without an ending stays incomplete. With
// partial_lines each report of "dd status=progress" is thus one call with
// the report whole, drawn as it is.
//
// The callable returns bool, false to stop the run, or nothing to let it
// go on; one returning int is refused, as a C habit (0 goes on) would read
// the other way round here. It is kept by value, copied with the options;
// it is called on the caller's thread, during the run or a held job's
// serve() and wait(), never after them.
class line_callback {
  public:
    line_callback() noexcept = default;
    template <class F, class = std::enable_if_t<
                           !std::is_same_v<std::decay_t<F>, line_callback> &&
                           (std::is_invocable_v<std::decay_t<F> &, std::string_view> ||
                            std::is_invocable_v<std::decay_t<F> &, const line &>)>>
    line_callback(F &&callable)
    {
        if constexpr (std::is_invocable_v<std::decay_t<F> &, std::string_view>)
            call_ = adapt<std::string_view>(std::forward<F>(callable));
        else
            whole_ = adapt<const line &>(std::forward<F>(callable));
    }

    explicit operator bool() const noexcept { return call_ || whole_; }
    // The callable takes qo::line: what the run hands out is joined first.
    bool whole() const noexcept { return static_cast<bool>(whole_); }
    // True: go on. A piece given to a callable taking qo::line is one
    // line, complete when it ends with '\n' or '\r'.
    bool operator()(std::string_view piece) const
    {
        if (call_)
            return call_(piece);
        const bool ended = !piece.empty() && (piece.back() == '\n' || piece.back() == '\r');
        return whole_({piece.substr(0, piece.size() - (ended ? 1 : 0)), ended});
    }
    // A callable taking views gets the line's text.
    bool operator()(const line &whole) const
    {
        return whole_ ? whole_(whole) : call_(whole.text);
    }

  private:
    template <class Arg, class F> static std::function<bool(Arg)> adapt(F &&callable)
    {
        using result = std::invoke_result_t<std::decay_t<F> &, Arg>;
        static_assert(std::is_same_v<result, bool> || std::is_void_v<result>,
                      "qo::line_callback: return bool (false stops the run) or "
                      "nothing");
        if constexpr (std::is_void_v<result>)
            return [kept = std::forward<F>(callable)](Arg given) mutable {
                kept(given);
                return true;
            };
        else
            return std::forward<F>(callable);
    }

    std::function<bool(std::string_view)> call_;
    std::function<bool(const line &)> whole_;
};

// What run_options::on_stage_errors calls with each line of a stage's
// stderr: the stage's index (0 for the first) and the line, as a
// std::string_view or a qo::line, as line_callback has them.
class stage_line_callback {
  public:
    stage_line_callback() noexcept = default;
    template <class F,
              class = std::enable_if_t<
                  !std::is_same_v<std::decay_t<F>, stage_line_callback> &&
                  (std::is_invocable_v<std::decay_t<F> &, std::size_t, std::string_view> ||
                   std::is_invocable_v<std::decay_t<F> &, std::size_t, const line &>)>>
    stage_line_callback(F &&callable) : kept_(std::make_shared<std::decay_t<F>>(
                                            std::forward<F>(callable)))
    {
        using kept = std::decay_t<F>;
        const auto held = std::static_pointer_cast<kept>(kept_);
        if constexpr (std::is_invocable_v<kept &, std::size_t, std::string_view>)
            for_stage_ = [held](std::size_t stage) -> line_callback {
                return [held, stage](std::string_view piece) { return (*held)(stage, piece); };
            };
        else
            for_stage_ = [held](std::size_t stage) -> line_callback {
                return [held, stage](const line &whole) { return (*held)(stage, whole); };
            };
    }

    explicit operator bool() const noexcept { return static_cast<bool>(for_stage_); }
    // The callable for one stage's lines, sharing the caller's callable
    // (and its state) with the other stages.
    line_callback stage(std::size_t index) const { return for_stage_(index); }

  private:
    std::shared_ptr<void> kept_;
    std::function<line_callback(std::size_t)> for_stage_;
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

namespace detail {

// One stream's pieces, as the run hands them out, joined into the whole
// lines a callable taking qo::line gets; a callable taking views gets the
// pieces as they are.
class line_joiner {
  public:
    bool feed(const line_callback &callback, std::string_view piece)
    {
        if (!callback.whole())
            return callback(piece);
        // The run ends a line at '\r' and at '\n' alike: the '\n' of a
        // "\r\n" comes alone, after the line it ends has been given.
        if (std::exchange(after_cr_, false) && piece == "\n")
            return true;
        const bool ended =
            !piece.empty() && (piece.back() == '\n' || piece.back() == '\r');
        if (ended) {
            after_cr_ = piece.back() == '\r';
            piece.remove_suffix(1);
            if (held_.empty())
                return callback(line{piece, true});
        }
        held_ += piece;
        const bool go_on = callback(line{held_, ended});
        if (ended)
            held_.clear();
        return go_on;
    }

  private:
    std::string held_; // the line so far, when it came in pieces
    bool after_cr_ = false;
};

// What the C callbacks reach through their context: the callables, and
// the exception one of them threw, kept until the command has ended. C
// never sees an exception: once one is kept, every callback asks for the
// stop without calling the caller's code again.
class c_callbacks {
  public:
    // The callables and the call site are referred to, not copied: they
    // must outlive this. stages: how many the command has, for a callable
    // given each stage's stderr apart.
    c_callbacks(const line_callback &output, const line_callback &errors,
                const input_callback &input, const stage_line_callback &stage_errors,
                std::size_t stages, const char *routine, const call_site &where)
        : output_(output), errors_(errors), input_(input), routine_(routine),
          where_(where)
    {
        if (stage_errors) {
            stage_errors_.reserve(stages);
            for (std::size_t stage = 0; stage < stages; ++stage)
                stage_errors_.push_back(stage_errors.stage(stage));
            stage_joiners_.resize(stages);
        }
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
        if (!stage_errors_.empty())
            c.on_stage_errors = stage_line;
    }

    // From now on the caller's code is not called again: a held job that
    // is freed is served to its end when what the callables refer to may
    // be gone already. Lines go on unread, the input ends.
    void mute() noexcept { muted_ = true; }

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

    static int line(void *context, const line_callback &callback, line_joiner &joiner,
                    const char *text, std::size_t size) noexcept
    {
        auto &self = *static_cast<c_callbacks *>(context);
        if (self.muted_)
            return 0;
        return self.guarded(1, [&] { return joiner.feed(callback, {text, size}) ? 0 : 1; });
    }
    static int output_line(void *context, const char *text, std::size_t size) noexcept
    {
        auto &self = *static_cast<c_callbacks *>(context);
        return line(context, self.output_, self.output_joiner_, text, size);
    }
    static int errors_line(void *context, const char *text, std::size_t size) noexcept
    {
        auto &self = *static_cast<c_callbacks *>(context);
        return line(context, self.errors_, self.errors_joiner_, text, size);
    }
    static int stage_line(void *context, std::size_t stage, const char *text,
                          std::size_t size) noexcept
    {
        auto &self = *static_cast<c_callbacks *>(context);
        if (stage >= self.stage_errors_.size())
            return 0;
        return line(context, self.stage_errors_[stage], self.stage_joiners_[stage], text,
                    size);
    }

    static ssize_t input(void *context, char *buffer, std::size_t room) noexcept
    {
        auto &self = *static_cast<c_callbacks *>(context);
        if (self.muted_)
            return 0;
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
    line_joiner output_joiner_, errors_joiner_;
    std::vector<line_callback> stage_errors_; // one per stage, when wanted
    std::vector<line_joiner> stage_joiners_;
    bool muted_ = false;
#ifdef __cpp_exceptions
    std::exception_ptr thrown_;
#endif
};

} // namespace detail

} // namespace qo

#endif // QO_CALLBACKS_HPP
