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

// The same command both ways, found in PATH: the wrapper adds the copy of
// the word, the option struct and the result's strings.
void run_true_hpp(benchmark::State &state)
{
    for (auto _ : state)
        if (!qo::run({"true"}).ok())
            state.SkipWithError("qo::run failed");
}

void run_true_c(benchmark::State &state)
{
    const char *const argv[] = {"true", nullptr};
    for (auto _ : state)
        if (qo_run(argv, nullptr) != 0)
            state.SkipWithError("qo_run failed");
}

// What qo::run({"true"}) does besides qo_run_int: the wrapper's whole
// cost, which the run's own noise hides in the comparison above.
void run_conversion(benchmark::State &state)
{
    const qo::call_site where = qo::call_site::current();
    for (auto _ : state) {
        const qo::detail::c_argv argv({"true"}, "qo::run", where);
        const qo::detail::c_run_options options({}, "qo::run", where);
        benchmark::DoNotOptimize(argv.get());
        benchmark::DoNotOptimize(options.get());
        qo::run_result result = options.result(0, 0);
        benchmark::DoNotOptimize(result);
    }
}

BENCHMARK(shell_quote_hpp)->Name("cpp/shell_quote/hpp");
BENCHMARK(shell_quote_c)->Name("cpp/shell_quote/c");
BENCHMARK(run_true_hpp)->Name("cpp/run/hpp");
BENCHMARK(run_true_c)->Name("cpp/run/c");
BENCHMARK(run_conversion)->Name("cpp/run/conversion");

} // namespace
