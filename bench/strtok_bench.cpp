#include "qo.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <cstring>
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

BENCHMARK(strtok_qo)->Name("strtok/qo")->Unit(benchmark::kMicrosecond);
BENCHMARK(strtok_r_strdup)->Name("strtok/strtok_r")->Unit(benchmark::kMicrosecond);

} // namespace
