#define _GNU_SOURCE 1
#include "qo.h"

#include <benchmark/benchmark.h>
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <glib.h>
#include <string>

namespace {

constexpr int appends = 10000;

// The algorithm as first written: format the text, then join the old string
// and the text with asprintf("%s%s") into a fresh string.
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

// The straightforward algorithm: format, allocate old + new, copy both,
// free the old string.
__attribute__((format(printf, 2, 3))) void strcat_plain(char **slot, const char *format,
                                                        ...)
{
    char *text = nullptr;
    va_list ap;
    va_start(ap, format);
    const int n = vasprintf(&text, format, ap);
    va_end(ap);
    if (n < 0)
        abort();
    const size_t old = *slot ? strlen(*slot) : 0;
    auto *joined = static_cast<char *>(malloc(old + static_cast<size_t>(n) + 1));
    if (!joined)
        abort();
    if (*slot)
        memcpy(joined, *slot, old);
    memcpy(joined + old, text, static_cast<size_t>(n) + 1);
    free(*slot);
    free(text);
    *slot = joined;
}

// The limit for this API: the caller's string carries no length, so strlen
// of it, then the formatting (on the stack), then a copy into a block that
// doubles when full. Unlike qo_strcat it knows its block's size, and checks
// nothing.
struct Limit {
    char *text = nullptr;
    size_t size = 0;
};

__attribute__((format(printf, 2, 3))) void strcat_limit(Limit &s, const char *format,
                                                        ...)
{
    char small[256];
    va_list ap;
    va_start(ap, format);
    const auto n = static_cast<size_t>(vsnprintf(small, sizeof small, format, ap));
    va_end(ap);
    const size_t used = s.text ? strlen(s.text) : 0;
    if (used + n + 1 > s.size) {
        s.size = std::max(2 * s.size, used + n + 1);
        s.text = static_cast<char *>(realloc(s.text, s.size));
    }
    memcpy(s.text + used, small, n + 1);
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

void strcat_plain_bench(benchmark::State &state)
{
    for (auto _ : state) {
        char *s = nullptr;
        for (int i = 0; i < appends; i++)
            strcat_plain(&s, "%08d", i);
        benchmark::DoNotOptimize(s);
        free(s);
    }
}

void strcat_limit_bench(benchmark::State &state)
{
    for (auto _ : state) {
        Limit s;
        for (int i = 0; i < appends; i++)
            strcat_limit(s, "%08d", i);
        benchmark::DoNotOptimize(s.text);
        free(s.text);
    }
}

void strcat_gstring(benchmark::State &state)
{
    for (auto _ : state) {
        GString *s = g_string_new(nullptr);
        for (int i = 0; i < appends; i++)
            g_string_append_printf(s, "%08d", i);
        benchmark::DoNotOptimize(s->str);
        g_string_free(s, TRUE);
    }
}

BENCHMARK(strcat_qo)->Name("strcat/qo");
BENCHMARK(strcat_limit_bench)->Name("strcat/limit");
BENCHMARK(strcat_plain_bench)->Name("strcat/straightforward");
BENCHMARK(strcat_literal_bench)->Name("strcat/literal");
BENCHMARK(strcat_gstring)->Name("strcat/GString");
BENCHMARK(strcat_std_string)->Name("strcat/std_string");

} // namespace
