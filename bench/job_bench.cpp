// Held jobs: qo_start + qo_job_wait + qo_job_free against qo_run of the
// same command; 1000 commands, 32 at a time, driven from one thread by
// poll() on their job descriptors, against a hand-written posix_spawn +
// pidfd_open + poll loop doing the same; and what a held job costs the
// caller in memory and descriptors while its command runs.
#include "qo.h"
#include "paired.h"

#include <benchmark/benchmark.h>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

extern char **environ;

namespace {

const char *const true_argv[] = {"/bin/true", nullptr};

void true_job(benchmark::State &state)
{
    for (auto _ : state) {
        qo_job *job = qo_start(true_argv, nullptr);
        if (!job || qo_job_wait(job, -1, nullptr) != 0)
            state.SkipWithError("qo_start or qo_job_wait failed");
        qo_job_free(job);
    }
}

void true_run(benchmark::State &state)
{
    for (auto _ : state)
        if (qo_run(true_argv, nullptr) != 0)
            state.SkipWithError("qo_run failed");
}

constexpr int fleet_size = 1000, in_flight = 32;

// Each slot holds a job until it ends; the next command takes its place.
// False when a job failed.
bool fleet_of_jobs()
{
    qo_job *jobs[in_flight];
    pollfd fds[in_flight];
    int started = 0, running = 0;
    bool all_ok = true;
    for (int i = 0; i < in_flight; ++i) {
        jobs[i] = qo_start(true_argv, nullptr);
        fds[i] = {qo_job_fd(jobs[i]), POLLIN, 0};
        ++started, ++running;
    }
    while (running > 0) {
        poll(fds, in_flight, -1);
        for (int i = 0; i < in_flight; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents || !qo_job_serve(jobs[i], 0))
                continue;
            all_ok = all_ok && qo_job_wait(jobs[i], 0, nullptr) == 0;
            qo_job_free(jobs[i]);
            --running;
            fds[i].fd = -1;
            if (started < fleet_size) {
                jobs[i] = qo_start(true_argv, nullptr);
                fds[i].fd = qo_job_fd(jobs[i]);
                ++started, ++running;
            }
        }
    }
    return all_ok;
}

void fleet_qo(benchmark::State &state)
{
    for (auto _ : state)
        if (!fleet_of_jobs())
            state.SkipWithError("a job failed");
    state.SetItemsProcessed(state.iterations() * fleet_size);
}

// glibc 2.36's <sys/pidfd.h> declares pidfd_open() without extern "C".
int pidfd_open(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// What a caller writes by hand: spawn, a pidfd per child, poll, reap.
bool fleet_by_hand()
{
    char *const argv[] = {const_cast<char *>("/bin/true"), nullptr};
    const auto spawn = [&](pid_t &pid, pollfd &fd) {
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0)
            return false;
        fd = {pidfd_open(pid), POLLIN, 0};
        return fd.fd >= 0;
    };
    pid_t pids[in_flight];
    pollfd fds[in_flight];
    int started = 0, running = 0;
    bool all_ok = true;
    for (int i = 0; i < in_flight; ++i) {
        all_ok = spawn(pids[i], fds[i]) && all_ok;
        ++started, ++running;
    }
    while (running > 0) {
        poll(fds, in_flight, -1);
        for (int i = 0; i < in_flight; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents)
                continue;
            int status = -1;
            all_ok = waitpid(pids[i], &status, 0) == pids[i] && status == 0 && all_ok;
            close(fds[i].fd);
            --running;
            fds[i].fd = -1;
            if (started < fleet_size) {
                all_ok = spawn(pids[i], fds[i]) && all_ok;
                ++started, ++running;
            }
        }
    }
    return all_ok;
}

void fleet_pidfd(benchmark::State &state)
{
    for (auto _ : state)
        if (!fleet_by_hand())
            state.SkipWithError("posix_spawn, pidfd_open or a child failed");
    state.SetItemsProcessed(state.iterations() * fleet_size);
}

// The two fleets back to back in each iteration (see paired.h).
void fleet_paired(benchmark::State &state)
{
    bench::paired(state, "qo_vs_hand", fleet_of_jobs, fleet_by_hand);
}

// /bin/true with its stdout captured, one job after another: what the
// caller's CPU pays per job (the CPU column), held and through qo_run,
// against the loop a caller writes by hand for the same capture.
bool held_captured() noexcept
{
    char *out = nullptr;
    qo_run_options o{};
    o.output = &out;
    qo_job *job = qo_start(true_argv, &o);
    const bool ok = job && qo_job_wait(job, -1, nullptr) == 0;
    qo_job_free(job);
    free(out);
    return ok;
}

void captured_held(benchmark::State &state)
{
    for (auto _ : state)
        if (!held_captured())
            state.SkipWithError("qo_start or qo_job_wait failed");
}

void captured_run(benchmark::State &state)
{
    for (auto _ : state) {
        char *out = nullptr;
        qo_run_options o{};
        o.output = &out;
        if (qo_run(true_argv, &o) != 0)
            state.SkipWithError("qo_run failed");
        free(out);
    }
}

// pipe, posix_spawn, pidfd, poll, read, wait, close.
bool captured_by_hand() noexcept
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    pid_t pid = -1;
    char *const argv[] = {const_cast<char *>("/bin/true"), nullptr};
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (error != 0) {
        close(ends[0]);
        return false;
    }
    const int pidfd = pidfd_open(pid);
    pollfd fds[2] = {{ends[0], POLLIN, 0}, {pidfd, POLLIN, 0}};
    char buffer[4096];
    std::string text;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        poll(fds, 2, -1);
        if (fds[0].revents) {
            const ssize_t n = read(fds[0].fd, buffer, sizeof buffer);
            if (n > 0)
                text.append(buffer, static_cast<size_t>(n));
            else
                fds[0].fd = -1;
        }
        if (fds[1].revents)
            fds[1].fd = -1;
    }
    int status = -1;
    waitpid(pid, &status, 0);
    close(ends[0]);
    close(pidfd);
    return status == 0;
}

void captured_hand(benchmark::State &state)
{
    for (auto _ : state)
        if (!captured_by_hand())
            state.SkipWithError("the hand-written loop failed");
}

// 200 held jobs and 200 by hand back to back in each iteration (see
// paired.h): the counter is the hand-written loop's CPU over qo's.
template <bool (*job)() noexcept> bool two_hundred()
{
    bool ok = true;
    for (int i = 0; i < 200; ++i)
        ok = job() && ok;
    return ok;
}

void captured_paired(benchmark::State &state)
{
    bench::paired(state, "hand_vs_held_cpu", two_hundred<held_captured>,
                  two_hundred<captured_by_hand>, bench::Time::cpu);
}

long open_descriptors()
{
    long n = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (readdir(dir))
        ++n;
    closedir(dir);
    return n;
}

long resident_bytes()
{
    long size = 0, resident = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    if (!statm || fscanf(statm, "%ld %ld", &size, &resident) != 2)
        resident = 0;
    if (statm)
        fclose(statm);
    return resident * sysconf(_SC_PAGESIZE);
}

// 100 `sleep 10` held at once: the caller's heap (mallinfo2), resident
// pages and descriptors, per job, measured after all are started. Freeing
// them stops them: the run takes milliseconds, not ten seconds.
void held_memory(benchmark::State &state)
{
    constexpr int held = 100;
    const char *const sleep_argv[] = {"sleep", "10", nullptr};
    double heap = 0, rss = 0, fds = 0;
    for (auto _ : state) {
        std::vector<qo_job *> jobs;
        jobs.reserve(held);
        const size_t heap_before = mallinfo2().uordblks;
        const long rss_before = resident_bytes(), fds_before = open_descriptors();
        for (int i = 0; i < held; ++i)
            jobs.push_back(qo_start(sleep_argv, nullptr));
        heap = (double(mallinfo2().uordblks) - double(heap_before)) / held;
        rss = double(resident_bytes() - rss_before) / held;
        fds = double(open_descriptors() - fds_before) / held;
        for (qo_job *job : jobs)
            qo_job_stop(job);
        for (qo_job *job : jobs)
            qo_job_free(job);
    }
    state.counters["heap_bytes_per_job"] = heap;
    state.counters["rss_bytes_per_job"] = rss;
    state.counters["fds_per_job"] = fds;
}

// 1000 sleeps held at once, each handed back as it ends: by a job set,
// against the caller's own poll() over every job's descriptor. The starts
// are not timed; the time is the caller's CPU serving them.
const char *const short_sleep[] = {"sleep", "0.2", nullptr};
constexpr size_t set_size = 1000;

void start_many(std::vector<qo_job *> &jobs, benchmark::State &state)
{
    state.PauseTiming();
    jobs.clear();
    for (size_t i = 0; i < set_size; ++i)
        jobs.push_back(qo_start(short_sleep, nullptr));
    state.ResumeTiming();
}

void many_in_a_set(benchmark::State &state)
{
    std::vector<qo_job *> jobs;
    for (auto _ : state) {
        start_many(jobs, state);
        qo_jobs *set = qo_jobs_new();
        for (qo_job *job : jobs)
            qo_jobs_add(set, job);
        while (qo_job *job = qo_jobs_wait(set, -1)) {
            if (qo_job_wait(job, 0, nullptr) != 0)
                state.SkipWithError("a job failed");
            qo_job_free(job);
        }
        qo_jobs_free(set);
    }
    state.SetItemsProcessed(state.iterations() * set_size);
}

void many_by_hand(benchmark::State &state)
{
    std::vector<qo_job *> jobs;
    std::vector<pollfd> fds;
    for (auto _ : state) {
        start_many(jobs, state);
        fds.clear();
        for (qo_job *job : jobs)
            fds.push_back({qo_job_fd(job), POLLIN, 0});
        for (size_t running = jobs.size(); running > 0;) {
            poll(fds.data(), fds.size(), -1);
            for (size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].fd < 0 || !fds[i].revents || !qo_job_serve(jobs[i], 0))
                    continue;
                if (qo_job_wait(jobs[i], 0, nullptr) != 0)
                    state.SkipWithError("a job failed");
                qo_job_free(jobs[i]);
                fds[i].fd = -1;
                --running;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * set_size);
}

BENCHMARK(true_job)->Name("job/true/start_wait");
BENCHMARK(true_run)->Name("job/true/qo_run");
BENCHMARK(fleet_qo)->Name("job/fleet/qo")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(fleet_pidfd)
    ->Name("job/fleet/pidfd")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(fleet_paired)
    ->Name("job/fleet/paired")
    ->Iterations(12)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(many_in_a_set)
    ->Name("job/set/1000")
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(many_by_hand)
    ->Name("job/set/1000_by_hand")
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(captured_held)->Name("job/captured/held");
BENCHMARK(captured_run)->Name("job/captured/qo_run");
BENCHMARK(captured_hand)->Name("job/captured/hand");
BENCHMARK(captured_paired)->Name("job/captured/paired")->Iterations(20)->UseRealTime();
BENCHMARK(held_memory)
    ->Name("job/held/memory")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace
