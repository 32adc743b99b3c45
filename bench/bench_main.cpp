// Runs every benchmark, then prints one table: each qo routine against its
// baselines, as ratios of median times measured in this same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

struct Comparison {
    const char *what, *qo, *baseline;
    double goal; // the baseline's time over qo's, at least
};

constexpr Comparison comparisons[] = {
    // Strings: each goal is the peer's or the limit's time over qo's.
    {"stresc 64 KiB, no special, vs memcpy (limit)", "stresc/text0/qo",
     "stresc/text0/memcpy", 0.6},
    {"stresc 64 KiB, 1% special, vs memcpy (limit)", "stresc/text1/qo",
     "stresc/text1/memcpy", 0.35},
    {"stresc 64 KiB, 10% special, vs memcpy (limit)", "stresc/text10/qo",
     "stresc/text10/memcpy", 0},
    {"stresc 64 B names, 10% special, vs qo 1.0.0", "stresc/names/qo",
     "stresc/names/qo_1.0.0", 1.6},
    {"stresc 64 KiB, no special, vs qo 1.0.0", "stresc/text0/qo",
     "stresc/text0/qo_1.0.0", 0},
    {"stresc 64 KiB, 1% special, vs qo 1.0.0", "stresc/text1/qo",
     "stresc/text1/qo_1.0.0", 0},
    {"stresc 64 B names, 10% special, vs literal", "stresc/names/qo",
     "stresc/names/literal", 3},
    {"stresc 64 KiB, 1% special, vs literal", "stresc/text1/qo", "stresc/text1/literal",
     10},
    {"stresc 64 B names, vs g_strescape", "stresc/names/qo", "stresc/names/g_strescape",
     0},
    {"stresc 64 KiB, 1% special, vs g_strescape", "stresc/text1/qo",
     "stresc/text1/g_strescape", 0},
    {"shell_quote 64 KiB, no quote, vs memcpy (limit)", "shell_quote/quote_free/qo",
     "shell_quote/quote_free/memcpy", 0.5},
    {"shell_quote 64 KiB, 1% quotes, vs memcpy (limit)", "shell_quote/quoted_1/qo",
     "shell_quote/quoted_1/memcpy", 0},
    {"shell_quote 64 KiB, 1% quotes, vs g_shell_quote", "shell_quote/quoted_1/qo",
     "shell_quote/quoted_1/g_shell_quote", 0},
    {"shell_quote 64 KiB, 1% quotes, vs per-byte loop", "shell_quote/quoted_1/qo",
     "shell_quote/quoted_1/per_byte", 1},
    {"strcat 10,000 x 8 B, vs the limit of the API", "strcat/qo", "strcat/limit",
     1 / 1.25},
    {"strcat 10,000 x 8 B, vs straightforward", "strcat/qo", "strcat/straightforward",
     0},
    {"strcat 10,000 x 8 B, vs literal asprintf(%s%s)", "strcat/qo", "strcat/literal",
     0},
    {"strcat 10,000 x 8 B, vs GString", "strcat/qo", "strcat/GString", 0},
    {"strcat 10,000 x 8 B, vs std::string", "strcat/qo", "strcat/std_string", 0},
    {"strtok 1 MiB line, vs strtok_r+strdup", "strtok/qo", "strtok/strtok_r", 1.5},
    {"strtok 1 MiB line, vs g_strsplit", "strtok/qo", "strtok/g_strsplit", 0},
    {"strtok 1 MiB line, vs memchr+malloc (limit)", "strtok/qo", "strtok/memchr", 0},
    {"log entry, vs one fprintf of the whole entry", "log/qo", "log/fprintf", 1.3},
    {"log entry, %zu %5s, vs one fprintf", "log/qo/vsnprintf", "log/fprintf/vsnprintf",
     0},
    {"log entry, 2 threads, vs spdlog basic file", "log/qo/2_threads",
     "log/spdlog/2_threads", 1.5},
    {"log filtered out, qo_log front vs qo_log_int", "log/filtered_out/front",
     "log/filtered_out", 3.0},
    {"run /bin/true, vs qo_system", "run/true/qo", "run/true/system", 2},
    {"run /bin/true, vs g_spawn_sync", "run/true/qo", "run/true/g_spawn_sync", 1},
    {"capture 100 MiB, vs g_spawn_sync", "run/capture/qo", "run/capture/g_spawn_sync",
     1},
    {"pipeline 3 x /bin/true, vs qo_system", "pipeline/true3/qo",
     "pipeline/true3/system", 1.5},
    {"pipeline 3 x /bin/true, vs libpipeline", "pipeline/true3/qo",
     "pipeline/true3/libpipeline", 1},
    {"pipeline 1 GiB, 3 stages, vs /bin/sh -c", "pipeline/1GiB/qo",
     "pipeline/1GiB/system", 0.95},
    {"pipeline 1 GiB, 3 stages, vs libpipeline", "pipeline/1GiB/qo",
     "pipeline/1GiB/libpipeline", 1},
    // Streams: a line callback at 0.9 of a bare read() loop's throughput at
    // least, a no-op one beside a capture at most 1.05 times as long.
    {"lines 1 GiB, 80 B, callback vs read() loop", "stream/lines/qo",
     "stream/lines/read", 0.9},
    {"lines 1 GiB, 80 B, callback vs read()+memchr", "stream/lines/qo",
     "stream/lines/read_memchr", 0},
    {"lines 1 GiB, 80 B, qo::run lambda vs C callback", "stream/lines/hpp",
     "stream/lines/qo", 0},
    {"capture 100 MiB, no-op callback vs none", "stream/capture/callback",
     "stream/capture/plain", 1 / 1.05},
    {"capture 100 MiB zeros, no-op callback vs none", "stream/capture/zeros/callback",
     "stream/capture/zeros/plain", 0},
    // A file written with its lines watched: what passing through the
    // caller costs against the command writing the file itself.
    {"file 1 GiB, on_output watching vs direct", "stream/file/watched",
     "stream/file/direct", 0},
    // Held jobs: start + wait + free at most 1.02 times as long as qo_run,
    // and one thread polling 32 jobs at 0.8 of a bare pidfd loop's
    // throughput at least.
    {"job /bin/true, start+wait+free vs qo_run", "job/true/start_wait",
     "job/true/qo_run", 1 / 1.02},
    {"1000 x /bin/true, 32 held jobs vs pidfd loop", "job/fleet/qo", "job/fleet/pidfd",
     0.8},
    // A start grows with its inputs as posix_spawn does: at most 3 times
    // as long as posix_spawn of the same argv, environment or descriptors.
    {"start 25,000 args, vs posix_spawn", "start/args25000/qo",
     "start/args25000/posix_spawn", 0},
    {"start 100,000 args, vs posix_spawn", "start/args100000/qo",
     "start/args100000/posix_spawn", 1 / 3.0},
    {"start 100,000 args, log at 5, vs posix_spawn", "start/args100000/qo_logged",
     "start/args100000/posix_spawn", 0},
    {"start 20,000 env changes, vs posix_spawn", "start/env20000/qo",
     "start/env20000/posix_spawn", 1 / 3.0},
    {"start 1,000 pass_fds, vs posix_spawn", "start/fds1000/qo",
     "start/fds1000/posix_spawn", 0},
    {"start 10,000 pass_fds, vs posix_spawn", "start/fds10000/qo",
     "start/fds10000/posix_spawn", 1 / 3.0},
    // C++: the wrapper at most 1.05 times as long as the C call.
    {"qo::run true, vs qo_run", "cpp/run/hpp", "cpp/run/c", 1 / 1.05},
    {"qo::shell_quote 64 B names, vs qo_shell_quote + string", "cpp/shell_quote/hpp",
     "cpp/shell_quote/c", 1 / 1.15},
};

// Measures that time both sides back to back in each iteration and keep
// the median of the pairs' ratios in a counter (see paired.h): the goals
// that a drifting load would blur between two benchmarks.
struct Paired {
    const char *what, *benchmark, *counter;
    double goal; // the counter, at least
};

constexpr Paired paired[] = {
    {"capture 100 MiB, no-op callback vs none, paired", "stream/capture/paired",
     "plain_vs_callback", 1 / 1.05},
    {"held /bin/true captured, CPU, vs hand loop, paired", "job/captured/paired",
     "hand_vs_held_cpu", 1 / 1.25},
    {"1000 x /bin/true, 32 held jobs vs pidfd loop, paired", "job/fleet/paired",
     "qo_vs_hand", 0.95},
};

// Keeps the median of each benchmark as the console reporter prints it.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &run : runs)
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name == "median") {
                median_[run.run_name.function_name] = run.GetAdjustedRealTime();
                for (const auto &[name, counter] : run.counters)
                    counter_[run.run_name.function_name + " " + name] = counter.value;
            }
    }

    void PrintTable() const
    {
        printf("\n%-50s %10s %8s  %s\n", "comparison", "ratio", "goal", "");
        for (const auto &c : comparisons) {
            const auto qo = median_.find(c.qo), base = median_.find(c.baseline);
            if (qo == median_.end() || base == median_.end())
                continue;
            const double ratio = base->second / qo->second;
            if (c.goal == 0)
                printf("%-50s %9.2fx %8s  reference\n", c.what, ratio, "-");
            else
                printf("%-50s %9.2fx %7.2fx  %s\n", c.what, ratio, c.goal,
                       ratio >= c.goal ? "ok" : "BELOW GOAL");
        }
        for (const auto &p : paired) {
            const auto found =
                counter_.find(std::string(p.benchmark) + " " + p.counter);
            if (found != counter_.end())
                printf("%-50s %9.2fx %7.2fx  %s\n", p.what, found->second, p.goal,
                       found->second >= p.goal ? "ok" : "BELOW GOAL");
        }
        if (const auto refused = median_.find("start/groups1048576/refused");
            refused != median_.end())
            printf("%-50s %8.2fms %6.2fms  %s\n", "2^20 groups refused (absolute)",
                   refused->second, 50.0, refused->second < 50.0 ? "ok" : "ABOVE GOAL");
        if (const auto filtered = median_.find("log/filtered_out");
            filtered != median_.end())
            printf("%-50s %8.2fns %6.2fns  %s\n", "log call filtered out (absolute)",
                   filtered->second, 2.0, filtered->second < 2.0 ? "ok" : "ABOVE GOAL");
    }

  private:
    std::map<std::string, double> median_;
    std::map<std::string, double> counter_; // "benchmark counter"
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintTable();
    benchmark::Shutdown();
    return 0;
}
