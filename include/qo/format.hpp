// Part of qo.hpp, installed with it: include <qo.hpp>, not this file,
// whose content may change in any release.
//
// printf formats checked while compiling (C++20): what each conversion
// takes, what each argument gives, and qo::format_string, which holds a
// format and the call site of the call it is written in.
#ifndef QO_FORMAT_HPP
#define QO_FORMAT_HPP

#include "base.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace qo {

namespace detail {

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

} // namespace qo

#endif // QO_FORMAT_HPP
