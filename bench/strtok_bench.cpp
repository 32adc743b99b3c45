#include "qo.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <cstring>
#include <glib.h>
#include <random>
#include <string>

namespace {

// 1 MiB of comma-separated fields of 1 to 15 bytes.
const std::string line = [] {
    std::mt19937 random(7);
    std::string text;
    while (text.size() < (1 << 20)) {
        text.append(1 + random() % 15, static_cast<char>('a' + random() % 26));
        text += ',';
    }
    return text;
}();

void strtok_qo(benchmark::State &state)
{
    for (auto _ : state) {
        int cursor = 0;
        while (char *token = qo_strtok(line.c_str(), ",", &cursor)) {
            benchmark::DoNotOptimize(token);
            qo_free(&token);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(line.size() * state.iterations()));
}

void strtok_r_strdup(benchmark::State &state)
{
    std::string copy = line;
    for (auto _ : state) {
        memcpy(copy.data(), line.data(), line.size()); // strtok_r writes into it
        char *save = nullptr;
        for (char *t = strtok_r(copy.data(), ",", &save); t;
             t = strtok_r(nullptr, ",", &save)) {
            char *token = strdup(t);
            benchmark::DoNotOptimize(token);
            free(token);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(line.size() * state.iterations()));
}

// Splits the whole line at once into a vector of copies; keeps the empty
// fields that the others skip (this line has none).
void glib_strsplit(benchmark::State &state)
{
    for (auto _ : state) {
        char **tokens = g_strsplit(line.c_str(), ",", -1);
        benchmark::DoNotOptimize(tokens);
        g_strfreev(tokens);
    }
    state.SetBytesProcessed(static_cast<int64_t>(line.size() * state.iterations()));
}

// The limit for handing out each token as a fresh string: find the
// separator with memchr, allocate, copy.
void memchr_malloc(benchmark::State &state)
{
    for (auto _ : state) {
        const char *at = line.data();
        const char *const end = at + line.size();
        while (at < end) {
            const auto *comma = static_cast<const char *>(memchr(at, ',', end - at));
            const char *stop = comma ? comma : end;
            auto *token = static_cast<char *>(malloc(stop - at + 1));
            memcpy(token, at, stop - at);
            token[stop - at] = '\0';
            benchmark::DoNotOptimize(token);
            free(token);
            at = stop + 1;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(line.size() * state.iterations()));
}

BENCHMARK(strtok_qo)->Name("strtok/qo")->Unit(benchmark::kMicrosecond);
BENCHMARK(strtok_r_strdup)->Name("strtok/strtok_r")->Unit(benchmark::kMicrosecond);
BENCHMARK(glib_strsplit)->Name("strtok/g_strsplit")->Unit(benchmark::kMicrosecond);
BENCHMARK(memchr_malloc)->Name("strtok/memchr")->Unit(benchmark::kMicrosecond);

} // namespace
