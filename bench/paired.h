// Two ways of doing the same work timed back to back in each iteration,
// in turn first: on a shared machine the load drifts over seconds, and a
// ratio taken within a pair sees the same load on both sides. The counter
// is the median of the pairs' ratios (the baseline's time over qo's: above
// 1, qo is faster). The time is the wall clock's, or with Time::cpu the
// CPU this process used (its children's not counted).
#pragma once

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <ctime>
#include <vector>

namespace bench {

enum class Time { wall, cpu };

inline double seconds(Time time)
{
    if (time == Time::wall)
        return std::chrono::duration<double>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// qo and baseline return false when their work failed.
template <class Qo, class Baseline>
void paired(benchmark::State &state, const char *counter, Qo qo, Baseline baseline,
            Time time = Time::wall)
{
    const auto timed = [time](auto &work) {
        const double start = seconds(time);
        const bool ok = work();
        return ok ? seconds(time) - start : -1.0;
    };
    std::vector<double> ratios;
    bool qo_first = true;
    for (auto _ : state) {
        double ours = 0, theirs = 0;
        if (qo_first) {
            ours = timed(qo);
            theirs = timed(baseline);
        } else {
            theirs = timed(baseline);
            ours = timed(qo);
        }
        qo_first = !qo_first;
        if (ours <= 0 || theirs <= 0)
            state.SkipWithError("a side failed");
        else
            ratios.push_back(theirs / ours);
    }
    std::sort(ratios.begin(), ratios.end());
    if (!ratios.empty())
        state.counters[counter] = ratios[ratios.size() / 2];
}

} // namespace bench
