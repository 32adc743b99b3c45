// qo.hpp against the C call it wraps, written the way a C++ caller would
// without it: the wrapper may cost no more than its NUL check and copy.
#include "inputs.h"
#include "qo.hpp"

#include <benchmark/benchmark.h>
#include <string>
#include <vector>

namespace {

// 256 file names of 64 bytes, about one byte in ten a shell special,
// single quotes included.
const std::vector<std::string> &names()
{
    static const std::vector<std::string> all = [] {
        std::vector<std::string> v;
        for (unsigned i = 0; i < 256; i++)
            v.push_back(
                qo_bench::text_with_specials(64, 10, qo_bench::shell_specials, i + 1));
        return v;
    }();
    return all;
}

void shell_quote_hpp(benchmark::State &state)
{
    for (auto _ : state) {
        for (const auto &name : names()) {
            std::string word = qo::shell_quote(name);
            benchmark::DoNotOptimize(word);
        }
    }
}

void shell_quote_c(benchmark::State &state)
{
    for (auto _ : state) {
        for (const auto &name : names()) {
            char *quoted = qo_shell_quote(name.c_str());
            std::string word(quoted);
            qo_free(&quoted);
            benchmark::DoNotOptimize(word);
        }
    }
}

BENCHMARK(shell_quote_hpp)->Name("cpp/shell_quote/hpp");
BENCHMARK(shell_quote_c)->Name("cpp/shell_quote/c");

} // namespace
