#include "inputs.h"
#include "qo.h"
#include "str/qo_str_scan_internal.h"
#include "stresc_1_0.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <cstring>
#include <glib.h>
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

// qo_stresc forced onto its AVX2 path, for CPUs without AVX-512.
char *qo_avx2(const char *input, const char *specials, char escape, char quote)
{
    return qo_str_scan::stresc_using(qo_str_scan::Path::avx2, input, specials, escape,
                                     quote);
}

// The limit: allocating and copying the same bytes, nothing more.
char *copy_only(const char *input, const char *, char, char)
{
    const size_t n = strlen(input) + 1;
    return static_cast<char *>(memcpy(malloc(n), input, n));
}

// GLib's escaping for C string literals: another set and other rules, the
// same kind of work. Its result is released with free(), as g_free() does.
char *glib_strescape(const char *input, const char *, char, char)
{
    return g_strescape(input, nullptr);
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

const std::vector<std::string> text0{text_with_specials(64 << 10, 0)};
const std::vector<std::string> text1{text_with_specials(64 << 10, 100)};
const std::vector<std::string> text10{text_with_specials(64 << 10, 10)};

#define STRESC(input, label, routine)                                                  \
    BENCHMARK_CAPTURE(run, input, input, routine)->Name("stresc/" #input "/" label)

BENCHMARK_CAPTURE(run, names_qo, names(), qo_routine)->Name("stresc/names/qo");
BENCHMARK_CAPTURE(run, names_qo_avx2, names(), qo_avx2)->Name("stresc/names/qo_avx2");
BENCHMARK_CAPTURE(run, names_qo_1_0, names(), stresc_1_0)
    ->Name("stresc/names/qo_1.0.0");
BENCHMARK_CAPTURE(run, names_literal, names(), stresc_literal)
    ->Name("stresc/names/literal");
BENCHMARK_CAPTURE(run, names_glib, names(), glib_strescape)
    ->Name("stresc/names/g_strescape");
BENCHMARK_CAPTURE(run, names_memcpy, names(), copy_only)->Name("stresc/names/memcpy");
STRESC(text0, "qo", qo_routine);
STRESC(text0, "qo_avx2", qo_avx2);
STRESC(text0, "qo_1.0.0", stresc_1_0);
STRESC(text0, "g_strescape", glib_strescape);
STRESC(text0, "memcpy", copy_only);
STRESC(text1, "qo", qo_routine);
STRESC(text1, "qo_avx2", qo_avx2);
STRESC(text1, "qo_1.0.0", stresc_1_0);
STRESC(text1, "literal", stresc_literal);
STRESC(text1, "g_strescape", glib_strescape);
STRESC(text1, "memcpy", copy_only);
STRESC(text10, "qo", qo_routine);
STRESC(text10, "qo_1.0.0", stresc_1_0);
STRESC(text10, "memcpy", copy_only);

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

char *glib_shell_quote(const char *input)
{
    return g_shell_quote(input);
}

char *copy_quoted(const char *input)
{
    return copy_only(input, nullptr, 0, 0);
}

const std::string quote_free = text_with_specials(64 << 10, 0, "'");
const std::string quoted_1 = text_with_specials(64 << 10, 100, "'");

void shell_quote(benchmark::State &state, const std::string &input,
                 char *(*quote)(const char *))
{
    for (auto _ : state) {
        char *out = quote(input.c_str());
        benchmark::DoNotOptimize(out);
        free(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(input.size() * state.iterations()));
}

#define SHELL_QUOTE(input, label, routine)                                             \
    BENCHMARK_CAPTURE(shell_quote, input, input, routine)                              \
        ->Name("shell_quote/" #input "/" label)

SHELL_QUOTE(quote_free, "qo", qo_shell_quote);
SHELL_QUOTE(quote_free, "g_shell_quote", glib_shell_quote);
SHELL_QUOTE(quote_free, "memcpy", copy_quoted);
SHELL_QUOTE(quoted_1, "qo", qo_shell_quote);
SHELL_QUOTE(quoted_1, "per_byte", shell_quote_per_byte);
SHELL_QUOTE(quoted_1, "g_shell_quote", glib_shell_quote);
SHELL_QUOTE(quoted_1, "memcpy", copy_quoted);

} // namespace
