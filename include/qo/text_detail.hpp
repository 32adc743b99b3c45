// Part of qo.hpp, installed with it: include <qo.hpp>, not this file,
// whose content may change in any release.
//
// Texts between C++ and C: the end of the process for what C could not be
// given, a view copied into a C string, a string a C routine returned
// taken over.
#ifndef QO_TEXT_DETAIL_HPP
#define QO_TEXT_DETAIL_HPP

#include "base.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace qo {

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

} // namespace detail

} // namespace qo

#endif // QO_TEXT_DETAIL_HPP
