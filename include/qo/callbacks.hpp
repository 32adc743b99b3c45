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
#include <string>
#include <string_view>
#include <sys/types.h>
#include <type_traits>
#include <utility>

namespace qo {

// What an on_input callback returns to stop the run; 0 ends the input.
inline constexpr std::size_t stop_run = static_cast<std::size_t>(-1);

// What run_options calls with each line of stdout or stderr, as a
// std::string_view that ends with the '\n' or '\r' that ended the line (a
// last piece, a piece of a line longer than the run's bound, or with
// partial_lines a line's text so far, has none: what comes next goes on
// with the same line). The callable returns bool, false to stop the run,
// or nothing to let it go on; one returning int is refused, as a C habit
// (0 goes on) would read the other way round here. It is kept by value,
// copied with the options; it is called on the caller's thread, during
// the run or a held job's serve() and wait(), never after them.
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

namespace detail {

// What the C callbacks reach through their context: the callables, and
// the exception one of them threw, kept until the command has ended. C
// never sees an exception: once one is kept, every callback asks for the
// stop without calling the caller's code again.
class c_callbacks {
  public:
    // The callables and the call site are referred to, not copied: they
    // must outlive this.
    c_callbacks(const line_callback &output, const line_callback &errors,
                const input_callback &input, const char *routine,
                const call_site &where) noexcept
        : output_(output), errors_(errors), input_(input), routine_(routine),
          where_(where)
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

    static int line(void *context, const line_callback &callback, const char *text,
                    std::size_t size) noexcept
    {
        auto &self = *static_cast<c_callbacks *>(context);
        if (self.muted_)
            return 0;
        return self.guarded(1, [&] { return callback({text, size}) ? 0 : 1; });
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
    bool muted_ = false;
#ifdef __cpp_exceptions
    std::exception_ptr thrown_;
#endif
};

} // namespace detail

} // namespace qo

#endif // QO_CALLBACKS_HPP
