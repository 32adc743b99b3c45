#include "inputs.h"
#include "qo.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using qo_bench::shell_specials;
using qo_bench::text_with_specials;

// The straightforward algorithm: every byte looked up with strchr, in two
// passes, one exact allocation.
char *stresc_literal(const char *input, const char *specials, char escape, char quote)
{
    size_t growth = 0;
    for (const char *p = input; *p; p++)
        if (strchr(specials, *p))
            growth += *p == quote ? 3 : 1;
    char *out = static_cast<char *>(malloc(strlen(input) + growth + 1));
    char *o = out;
    for (const char *p = input; *p; p++) {
        if (strchr(specials, *p)) {
            if (*p == quote)
                *o++ = quote;
            *o++ = escape;
            *o++ = *p;
            if (*p == quote)
                *o++ = quote;
        } else {
            *o++ = *p;
        }
    }
    *o = '\0';
    return out;
}

char *qo_routine(const char *input, const char *specials, char escape, char quote)
{
    return qo_stresc(input, specials, escape, quote);
}

// The limit: allocating and copying the same bytes, nothing more.
char *copy_only(const char *input, const char *, char, char)
{
    const size_t n = strlen(input) + 1;
    return static_cast<char *>(memcpy(malloc(n), input, n));
}

using Escaper = char *(*)(const char *, const char *, char, char);

void run(benchmark::State &state, const std::vector<std::string> &inputs,
         Escaper escape)
{
    for (auto _ : state) {
        for (const auto &in : inputs) {
            char *out = escape(in.c_str(), shell_specials, '\\', '"');
            benchmark::DoNotOptimize(out);
            free(out);
        }
    }
    size_t bytes = 0;
    for (const auto &in : inputs)
        bytes += in.size();
    state.SetBytesProcessed(static_cast<int64_t>(bytes * state.iterations()));
}

const std::vector<std::string> &names()
{
    static const std::vector<std::string> all = [] {
        std::vector<std::string> v;
        for (unsigned i = 0; i < 256; i++)
            v.push_back(text_with_specials(64, 10, shell_specials, i + 1));
        return v;
    }();
    return all;
}

const std::vector<std::string> text1{text_with_specials(64 << 10, 100)};
const std::vector<std::string> text0{text_with_specials(64 << 10, 0)};

BENCHMARK_CAPTURE(run, names / qo, names(), qo_routine)->Name("stresc/names/qo");
BENCHMARK_CAPTURE(run, names / literal, names(), stresc_literal)
    ->Name("stresc/names/literal");
BENCHMARK_CAPTURE(run, text1 / qo, text1, qo_routine)->Name("stresc/text1/qo");
BENCHMARK_CAPTURE(run, text1 / literal, text1, stresc_literal)
    ->Name("stresc/text1/literal");
BENCHMARK_CAPTURE(run, text0 / qo, text0, qo_routine)->Name("stresc/text0/qo");
BENCHMARK_CAPTURE(run, text0 / memcpy, text0, copy_only)->Name("stresc/text0/memcpy");

// qo_shell_quote against the obvious loop over every byte.
char *shell_quote_per_byte(const char *input)
{
    size_t quotes = 0;
    for (const char *p = input; *p; p++)
        quotes += *p == '\'';
    char *out = static_cast<char *>(malloc(strlen(input) + 3 * quotes + 3));
    char *o = out;
    *o++ = '\'';
    for (const char *p = input; *p; p++) {
        if (*p == '\'') {
            memcpy(o, "'\\''", 4);
            o += 4;
        } else {
            *o++ = *p;
        }
    }
    *o++ = '\'';
    *o = '\0';
    return out;
}

const std::string quoted_text = text_with_specials(64 << 10, 100, "'");

void shell_quote(benchmark::State &state, char *(*quote)(const char *))
{
    for (auto _ : state) {
        char *out = quote(quoted_text.c_str());
        benchmark::DoNotOptimize(out);
        free(out);
    }
    state.SetBytesProcessed(
        static_cast<int64_t>(quoted_text.size() * state.iterations()));
}

BENCHMARK_CAPTURE(shell_quote, qo, qo_shell_quote)->Name("shell_quote/qo");
BENCHMARK_CAPTURE(shell_quote, per_byte, shell_quote_per_byte)
    ->Name("shell_quote/per_byte");

} // namespace
