// Inputs shared by the benchmarks: deterministic text with a given share
// of special bytes.
#pragma once

#include <random>
#include <string>

namespace qo_bench {

constexpr char shell_specials[] = "`$\\\"(){}'[]&*?|!#~";

// length bytes of file-name-like text; about one byte in every_nth (0:
// none) is drawn from specials.
inline std::string text_with_specials(size_t length, unsigned every_nth,
                                      const std::string &specials = shell_specials,
                                      unsigned seed = 1)
{
    static const std::string plain = "abcdefghijklmnopqrstuvwxyz0123456789_-./ ";
    std::mt19937 random(seed);
    std::string text;
    for (size_t i = 0; i < length; i++) {
        if (every_nth && random() % every_nth == 0)
            text += specials[random() % specials.size()];
        else
            text += plain[random() % plain.size()];
    }
    return text;
}

} // namespace qo_bench
