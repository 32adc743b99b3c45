// Running a command, and capturing a large output, against qo_system and
// GLib's g_spawn_sync doing the same.
#include "qo.h"

#include <benchmark/benchmark.h>
#include <glib.h>

namespace {

void run_true_qo(benchmark::State &state)
{
    const char *const argv[] = {"/bin/true", nullptr};
    for (auto _ : state)
        if (qo_run(argv, nullptr) != 0)
            state.SkipWithError("qo_run failed");
}

void run_true_system(benchmark::State &state)
{
    for (auto _ : state)
        if (qo_system("/bin/true") != 0)
            state.SkipWithError("qo_system failed");
}

void run_true_glib(benchmark::State &state)
{
    char true_path[] = "/bin/true";
    char *argv[] = {true_path, nullptr};
    for (auto _ : state) {
        int status = -1;
        if (!g_spawn_sync(nullptr, argv, nullptr, G_SPAWN_DEFAULT, nullptr, nullptr,
                          nullptr, nullptr, &status, nullptr) ||
            status != 0)
            state.SkipWithError("g_spawn_sync failed");
    }
}

// 100 MiB of zeros, in 1 MiB writes: the producer costs little beside the
// capture.
const char *const producer[] = {"dd",        "if=/dev/zero", "bs=1M",
                                "count=100", "status=none",  nullptr};

void capture_qo(benchmark::State &state)
{
    for (auto _ : state) {
        char *out = nullptr;
        qo_run_options options{};
        options.output = &out;
        if (qo_run(producer, &options) != 0)
            state.SkipWithError("qo_run failed");
        benchmark::DoNotOptimize(out);
        free(out);
    }
}

void capture_glib(benchmark::State &state)
{
    for (auto _ : state) {
        char *out = nullptr;
        int status = -1;
        if (!g_spawn_sync(nullptr, const_cast<char **>(producer), nullptr,
                          G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out, nullptr, &status,
                          nullptr) ||
            status != 0)
            state.SkipWithError("g_spawn_sync failed");
        benchmark::DoNotOptimize(out);
        g_free(out);
    }
}

BENCHMARK(run_true_qo)->Name("run/true/qo");
BENCHMARK(run_true_system)->Name("run/true/system");
BENCHMARK(run_true_glib)->Name("run/true/g_spawn_sync");
BENCHMARK(capture_qo)->Name("run/capture/qo")->Unit(benchmark::kMillisecond);
BENCHMARK(capture_glib)
    ->Name("run/capture/g_spawn_sync")
    ->Unit(benchmark::kMillisecond);

} // namespace
