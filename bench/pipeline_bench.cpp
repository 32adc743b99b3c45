// Pipelines: qo_pipeline against the same pipeline run by /bin/sh -c
// (qo_system) and by libpipeline, starting three /bin/true and moving
// 1 GiB through three stages.
#include "qo.h"

#include <benchmark/benchmark.h>
#include <pipeline.h>

namespace {

const char *const true_stage[] = {"/bin/true", nullptr};
const char *const *const three_true[] = {true_stage, true_stage, true_stage, nullptr};

void true3_qo(benchmark::State &state)
{
    for (auto _ : state)
        if (qo_pipeline(three_true, nullptr, nullptr) != 0)
            state.SkipWithError("qo_pipeline failed");
}

void true3_system(benchmark::State &state)
{
    for (auto _ : state)
        if (qo_system("/bin/true | /bin/true | /bin/true") != 0)
            state.SkipWithError("qo_system failed");
}

void true3_libpipeline(benchmark::State &state)
{
    for (auto _ : state) {
        pipeline *p = pipeline_new();
        for (int i = 0; i < 3; ++i)
            pipeline_command_args(p, "/bin/true", nullptr);
        if (pipeline_run(p) != 0)
            state.SkipWithError("pipeline_run failed");
    }
}

// 1 GiB of bytes made, changed and counted: every byte crosses two pipes.
const char *const head[] = {"head", "-c", "1073741824", "/dev/zero", nullptr};
const char *const tr[] = {"tr", "\\0", "a", nullptr};
const char *const wc[] = {"wc", "-c", nullptr};
const char *const *const gibibyte[] = {head, tr, wc, nullptr};

void gib_qo(benchmark::State &state)
{
    qo_run_options o{};
    o.output_file = "/dev/null";
    for (auto _ : state)
        if (qo_pipeline(gibibyte, &o, nullptr) != 0)
            state.SkipWithError("qo_pipeline failed");
    state.SetBytesProcessed(state.iterations() * (int64_t{1} << 30));
}

void gib_system(benchmark::State &state)
{
    for (auto _ : state)
        if (qo_system("head -c 1073741824 /dev/zero | tr '\\0' a | wc -c >/dev/null") !=
            0)
            state.SkipWithError("qo_system failed");
    state.SetBytesProcessed(state.iterations() * (int64_t{1} << 30));
}

void gib_libpipeline(benchmark::State &state)
{
    for (auto _ : state) {
        pipeline *p = pipeline_new();
        pipeline_command_args(p, "head", "-c", "1073741824", "/dev/zero", nullptr);
        pipeline_command_args(p, "tr", "\\0", "a", nullptr);
        pipeline_command_args(p, "wc", "-c", nullptr);
        pipeline_want_outfile(p, "/dev/null");
        if (pipeline_run(p) != 0)
            state.SkipWithError("pipeline_run failed");
    }
    state.SetBytesProcessed(state.iterations() * (int64_t{1} << 30));
}

BENCHMARK(true3_qo)->Name("pipeline/true3/qo")->UseRealTime();
BENCHMARK(true3_system)->Name("pipeline/true3/system")->UseRealTime();
BENCHMARK(true3_libpipeline)->Name("pipeline/true3/libpipeline")->UseRealTime();
BENCHMARK(gib_qo)
    ->Name("pipeline/1GiB/qo")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(gib_system)
    ->Name("pipeline/1GiB/system")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(gib_libpipeline)
    ->Name("pipeline/1GiB/libpipeline")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
