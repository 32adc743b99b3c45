#include "qo.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

namespace {

// Entries go to /dev/null: what is measured is building the entry, the
// lock and the buffer, not the disk. Every contender writes the same bytes.
void log_qo(benchmark::State &state)
{
    if (state.thread_index() == 0)
        qo_log_open("/dev/null", 4);
    int i = 0;
    for (auto _ : state)
        qo_log_int(2, 42, "lib/file.cpp", "routine", "entry %d of %s", i++, "bench");
    if (state.thread_index() == 0)
        qo_log_close();
}

// A message past the conversions the log writes by hand: vsnprintf's.
void log_qo_vsnprintf(benchmark::State &state)
{
    qo_log_open("/dev/null", 4);
    size_t i = 0;
    for (auto _ : state)
        qo_log_int(2, 42, "lib/file.cpp", "routine", "entry %zu of %5s", i++, "bench");
    qo_log_close();
}

void log_fprintf_vsnprintf(benchmark::State &state)
{
    FILE *f = fopen("/dev/null", "a");
    size_t i = 0;
    for (auto _ : state)
        fprintf(f, "DBG%d: %s->%s#%d: entry %zu of %5s\n", 2, "lib/file.cpp", "routine",
                42, i++, "bench");
    fclose(f);
}

void log_fprintf(benchmark::State &state)
{
    FILE *f = fopen("/dev/null", "a");
    int i = 0;
    for (auto _ : state)
        fprintf(f, "DBG%d: %s->%s#%d: entry %d of %s\n", 2, "lib/file.cpp", "routine",
                42, i++, "bench");
    fclose(f);
}

// spdlog's synchronous file logger, laying out the same entry.
std::shared_ptr<spdlog::logger> spdlog_file;

void log_spdlog(benchmark::State &state)
{
    if (state.thread_index() == 0) {
        spdlog_file = spdlog::basic_logger_mt("bench", "/dev/null");
        spdlog_file->set_pattern("%v");
    }
    int i = 0;
    for (auto _ : state)
        spdlog_file->info("DBG{}: {}->{}#{}: entry {} of {}", 2, "lib/file.cpp",
                          "routine", 42, i++, "bench");
    if (state.thread_index() == 0) {
        spdlog::drop("bench");
        spdlog_file.reset();
    }
}

// The same entry with the time and the thread before it, against spdlog's
// default pattern, "[2026-12-09 10:42:07.123] [bench] [info] message",
// which reads the clock and formats the time for each entry too.
void log_qo_stamped(benchmark::State &state)
{
    if (state.thread_index() == 0) {
        qo_log_stamp(static_cast<unsigned>(state.range(0)));
        qo_log_open("/dev/null", 4);
    }
    int i = 0;
    for (auto _ : state)
        qo_log_int(2, 42, "lib/file.cpp", "routine", "entry %d of %s", i++, "bench");
    if (state.thread_index() == 0) {
        qo_log_close();
        qo_log_stamp(0);
    }
}

void log_spdlog_default_pattern(benchmark::State &state)
{
    if (state.thread_index() == 0)
        spdlog_file = spdlog::basic_logger_mt("bench", "/dev/null");
    int i = 0;
    for (auto _ : state)
        spdlog_file->info("DBG{}: {}->{}#{}: entry {} of {}", 2, "lib/file.cpp",
                          "routine", 42, i++, "bench");
    if (state.thread_index() == 0) {
        spdlog::drop("bench");
        spdlog_file.reset();
    }
}

void log_filtered_out(benchmark::State &state)
{
    qo_log_open("/dev/null", 1);
    int i = 0;
    for (auto _ : state)
        qo_log_int(5, 42, "lib/file.cpp", "routine", "entry %d", i++);
    qo_log_close();
}

// The qo_log front tests the level before it evaluates the arguments: no
// call at all.
void log_filtered_out_front(benchmark::State &state)
{
    qo_log_open("/dev/null", 1);
    int i = 0;
    for (auto _ : state)
        qo_log(5, "entry %d", i++);
    benchmark::DoNotOptimize(i);
    qo_log_close();
}

BENCHMARK(log_qo)->Name("log/qo");
BENCHMARK(log_fprintf)->Name("log/fprintf");
BENCHMARK(log_qo_vsnprintf)->Name("log/qo/vsnprintf");
BENCHMARK(log_fprintf_vsnprintf)->Name("log/fprintf/vsnprintf");
BENCHMARK(log_qo)->Name("log/qo/2_threads")->Threads(2)->UseRealTime();
BENCHMARK(log_spdlog)->Name("log/spdlog/2_threads")->Threads(2)->UseRealTime();
BENCHMARK(log_qo_stamped)->Name("log/qo/stamped/time")->Arg(QO_LOG_TIME);
BENCHMARK(log_qo_stamped)
    ->Name("log/qo/stamped/time_tid")
    ->Arg(QO_LOG_TIME | QO_LOG_TID);
BENCHMARK(log_qo_stamped)
    ->Name("log/qo/stamped/all")
    ->Arg(QO_LOG_TIME_US | QO_LOG_UPTIME | QO_LOG_PID | QO_LOG_TID | QO_LOG_CONTINUED);
BENCHMARK(log_spdlog_default_pattern)->Name("log/spdlog/default_pattern");
BENCHMARK(log_qo_stamped)
    ->Name("log/qo/stamped/time_tid/2_threads")
    ->Arg(QO_LOG_TIME | QO_LOG_TID)
    ->Threads(2)
    ->UseRealTime();
BENCHMARK(log_spdlog_default_pattern)
    ->Name("log/spdlog/default_pattern/2_threads")
    ->Threads(2)
    ->UseRealTime();
BENCHMARK(log_filtered_out)->Name("log/filtered_out");
BENCHMARK(log_filtered_out_front)->Name("log/filtered_out/front");

} // namespace
