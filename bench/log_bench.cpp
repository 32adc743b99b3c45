#include "qo.h"

#include <benchmark/benchmark.h>
#include <cstdio>

namespace {

// Entries go to /dev/null: what is measured is the formatting and the
// stream, not the disk.
void log_qo(benchmark::State &state)
{
    qo_log_open("/dev/null", 4);
    int i = 0;
    for (auto _ : state)
        qo_log_int(2, 42, "lib/file.cpp", "routine", "entry %d of %s", i++, "bench");
    qo_log_close();
}

void log_fprintf(benchmark::State &state)
{
    FILE *f = fopen("/dev/null", "a");
    int i = 0;
    for (auto _ : state) {
        fprintf(f, "DBG%d: %s->%s#%d: ", 2, "lib/file.cpp", "routine", 42);
        fprintf(f, "entry %d of %s", i++, "bench");
        fputc('\n', f);
    }
    fclose(f);
}

void log_filtered_out(benchmark::State &state)
{
    qo_log_open("/dev/null", 1);
    int i = 0;
    for (auto _ : state)
        qo_log_int(5, 42, "lib/file.cpp", "routine", "entry %d", i++);
    qo_log_close();
}

BENCHMARK(log_qo)->Name("log/qo");
BENCHMARK(log_fprintf)->Name("log/fprintf");
BENCHMARK(log_filtered_out)->Name("log/filtered_out");

} // namespace
