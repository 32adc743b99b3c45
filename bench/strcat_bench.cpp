#define _GNU_SOURCE 1
#include "qo.h"

#include <benchmark/benchmark.h>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int appends = 10000;

// The straightforward algorithm: format the text, then join the old string
// and the text into a fresh string.
__attribute__((format(printf, 2, 3))) void strcat_literal(char **slot,
                                                          const char *format, ...)
{
    char *text = nullptr;
    va_list ap;
    va_start(ap, format);
    if (vasprintf(&text, format, ap) < 0)
        abort();
    va_end(ap);
    if (!*slot) {
        *slot = text;
        return;
    }
    char *joined = nullptr;
    if (asprintf(&joined, "%s%s", *slot, text) < 0)
        abort();
    free(*slot);
    free(text);
    *slot = joined;
}

void strcat_qo(benchmark::State &state)
{
    for (auto _ : state) {
        char *s = nullptr;
        for (int i = 0; i < appends; i++)
            qo_strcat(&s, "%08d", i);
        benchmark::DoNotOptimize(s);
        qo_free(&s);
    }
}

void strcat_literal_bench(benchmark::State &state)
{
    for (auto _ : state) {
        char *s = nullptr;
        for (int i = 0; i < appends; i++)
            strcat_literal(&s, "%08d", i);
        benchmark::DoNotOptimize(s);
        free(s);
    }
}

void strcat_std_string(benchmark::State &state)
{
    for (auto _ : state) {
        std::string s;
        char text[16];
        for (int i = 0; i < appends; i++)
            s.append(text, static_cast<size_t>(snprintf(text, sizeof text, "%08d", i)));
        benchmark::DoNotOptimize(s.data());
    }
}

BENCHMARK(strcat_qo)->Name("strcat/qo");
BENCHMARK(strcat_literal_bench)->Name("strcat/literal");
BENCHMARK(strcat_std_string)->Name("strcat/std_string");

} // namespace
