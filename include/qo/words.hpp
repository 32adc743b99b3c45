// Part of qo.hpp, installed with it: include <qo.hpp>, not this file,
// whose content may change in any release.
//
// Text cut as people read it: qo::strip, qo::words, qo::lines, qo::join.
// Views into the caller's text, never copies: what they return lives as
// long as the text it was cut from. Whitespace is ASCII's (space, \t, \n,
// \v, \f, \r): a byte of 0x80 or more is never one, so UTF-8 stays whole.
#ifndef QO_WORDS_HPP
#define QO_WORDS_HPP

#include "base.hpp"

#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace qo {

namespace detail {

// Not std::isspace, which reads the locale and takes an int.
constexpr bool is_space(char c) noexcept
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

} // namespace detail

// What qo::words takes when the number of splits has no limit.
inline constexpr std::size_t unlimited = static_cast<std::size_t>(-1);

// text without its leading whitespace.
constexpr std::string_view lstrip(std::string_view text) noexcept
{
    std::size_t start = 0;
    while (start < text.size() && detail::is_space(text[start]))
        ++start;
    return text.substr(start);
}

// text without its trailing whitespace.
constexpr std::string_view rstrip(std::string_view text) noexcept
{
    std::size_t end = text.size();
    while (end > 0 && detail::is_space(text[end - 1]))
        --end;
    return text.substr(0, end);
}

// text without its leading and trailing whitespace.
constexpr std::string_view strip(std::string_view text) noexcept
{
    return rstrip(lstrip(text));
}

// The fields of text separated by runs of whitespace, none empty, as
// Python's text.split(None, max): after max splits the rest, its leading
// whitespace removed, is the last field, as it is. words("  a b  c d ", 2)
// is {"a", "b", "c d "}; a text of whitespace alone has no field.
inline std::vector<std::string_view> words(std::string_view text,
                                           std::size_t max = unlimited)
{
    std::vector<std::string_view> fields;
    for (text = lstrip(text); !text.empty(); text = lstrip(text)) {
        if (fields.size() == max) {
            fields.push_back(text);
            break;
        }
        std::size_t end = 0;
        while (end < text.size() && !detail::is_space(text[end]))
            ++end;
        fields.push_back(text.substr(0, end));
        text.remove_prefix(end);
    }
    return fields;
}

// The lines of text without their endings, each ended by \n, \r\n or \r;
// a last line without an ending counts, an empty text has none, and an
// ending at the end of text adds no empty line: lines("a\r\nb\rc\n") is
// {"a", "b", "c"}, as Python's splitlines() for those endings.
inline std::vector<std::string_view> lines(std::string_view text)
{
    std::vector<std::string_view> found;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of("\r\n");
        if (end == std::string_view::npos) {
            found.push_back(text);
            break;
        }
        found.push_back(text.substr(0, end));
        const bool crlf = text[end] == '\r' && end + 1 < text.size() &&
                          text[end + 1] == '\n';
        text.remove_prefix(end + (crlf ? 2 : 1));
    }
    return found;
}

// The texts of parts (any range of what a std::string_view is made from)
// with separator between each two: join(words(line), " ").
template <class Range>
std::string join(const Range &parts, std::string_view separator)
{
    std::string joined;
    bool first = true;
    for (const auto &part : parts) {
        if (!first)
            joined += separator;
        joined += std::string_view(part);
        first = false;
    }
    return joined;
}

inline std::string join(std::initializer_list<std::string_view> parts,
                        std::string_view separator)
{
    return join<std::initializer_list<std::string_view>>(parts, separator);
}

} // namespace qo

#endif // QO_WORDS_HPP
