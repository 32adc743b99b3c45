// Part of qo.hpp, installed with it: include <qo.hpp>, not this file,
// whose content may change in any release.
//
// What the rest of qo.hpp builds on: qo.h, the standard headers, where a
// call comes from (qo::call_site) and a string C handed over (qo::text).
#ifndef QO_BASE_HPP
#define QO_BASE_HPP

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
#include <sys/wait.h>
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

#endif // QO_BASE_HPP
