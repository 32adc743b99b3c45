// What starting a command costs as its inputs grow: qo_run of /bin/true
// with many arguments, environment changes or descriptors passed on,
// against posix_spawn + waitpid of the same argv, environment and
// descriptors; and the refusal of more groups than the kernel takes.
#include "qo.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ; // NOLINT(readability-redundant-declaration)

namespace {

// /bin/true and count short arguments.
std::vector<const char *> true_with(size_t count)
{
    std::vector<const char *> argv(count + 2, "x");
    argv[0] = "/bin/true";
    argv.back() = nullptr;
    return argv;
}

// NAME<i>=<i>, count of them.
std::vector<std::string> variables(size_t count)
{
    std::vector<std::string> all;
    for (size_t i = 0; i < count; ++i)
        all.push_back("QO_BENCH_" + std::to_string(i) + "=" + std::to_string(i));
    return all;
}

std::vector<const char *> pointers(const std::vector<std::string> &texts)
{
    std::vector<const char *> all;
    for (const std::string &t : texts)
        all.push_back(t.c_str());
    all.push_back(nullptr);
    return all;
}

void spawn_and_wait(benchmark::State &state, const char *const *argv,
                    const char *const *envp)
{
    pid_t pid = -1;
    int status = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char *const *>(argv),
                    const_cast<char *const *>(envp)) != 0 ||
        waitpid(pid, &status, 0) != pid || status != 0)
        state.SkipWithError("posix_spawn failed");
}

void run(benchmark::State &state, const char *const *argv, const qo_run_options &o)
{
    if (qo_run(argv, &o) != 0)
        state.SkipWithError("qo_run failed");
}

// The log at level 5 writes the command line whole: to /dev/null, so that
// what is measured is building it.
void args_qo(benchmark::State &state, bool logged)
{
    const std::vector<const char *> argv = true_with(size_t(state.range(0)));
    if (logged)
        qo_log_open("/dev/null", 5);
    for (auto _ : state)
        run(state, argv.data(), {});
    qo_log_close();
}

void args_spawn(benchmark::State &state)
{
    const std::vector<const char *> argv = true_with(size_t(state.range(0)));
    for (auto _ : state)
        spawn_and_wait(state, argv.data(), environ);
}

// An emptied environment and count variables set: what the command gets is
// the list itself, which posix_spawn is given as it is.
void env_qo(benchmark::State &state)
{
    const std::vector<std::string> set = variables(size_t(state.range(0)));
    const std::vector<const char *> env = pointers(set);
    const char *const argv[] = {"/bin/true", nullptr};
    qo_run_options o{};
    o.env = env.data(), o.flags = QO_RUN_CLEAR_ENV;
    for (auto _ : state)
        run(state, argv, o);
}

void env_spawn(benchmark::State &state)
{
    const std::vector<std::string> set = variables(size_t(state.range(0)));
    const std::vector<const char *> env = pointers(set);
    const char *const argv[] = {"/bin/true", nullptr};
    for (auto _ : state)
        spawn_and_wait(state, argv, env.data());
}

// count descriptors, close-on-exec as a program opens them; -1 after them.
std::vector<int> descriptors(size_t count)
{
    rlimit most{};
    getrlimit(RLIMIT_NOFILE, &most);
    if (most.rlim_cur < count + 64 && most.rlim_max >= count + 64) {
        most.rlim_cur = count + 64;
        setrlimit(RLIMIT_NOFILE, &most);
    }
    std::vector<int> fds;
    for (int fd;
         fds.size() < count && (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        fds.push_back(fd);
    fds.push_back(-1);
    return fds;
}

void close_all(std::vector<int> &fds)
{
    for (int fd : fds)
        if (fd >= 0)
            close(fd);
}

void fds_qo(benchmark::State &state)
{
    std::vector<int> fds = descriptors(size_t(state.range(0)));
    const char *const argv[] = {"/bin/true", nullptr};
    qo_run_options o{};
    o.pass_fds = fds.data();
    for (auto _ : state)
        run(state, argv, o);
    close_all(fds);
}

// The same descriptors kept, and no other, by posix_spawn's own actions: a
// dup2 onto itself clears close-on-exec, then everything above them goes.
void fds_spawn(benchmark::State &state)
{
    std::vector<int> fds = descriptors(size_t(state.range(0)));
    const char *const argv[] = {"/bin/true", nullptr};
    for (auto _ : state) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int fd : fds)
            if (fd >= 0)
                posix_spawn_file_actions_adddup2(&actions, fd, fd);
        posix_spawn_file_actions_addclosefrom_np(&actions, fds[fds.size() - 2] + 1);
        pid_t pid = -1;
        int status = -1;
        if (posix_spawn(&pid, argv[0], &actions, nullptr,
                        const_cast<char *const *>(argv), environ) != 0 ||
            waitpid(pid, &status, 0) != pid || status != 0)
            state.SkipWithError("posix_spawn failed");
        posix_spawn_file_actions_destroy(&actions);
    }
    close_all(fds);
}

// More groups than NGROUPS_MAX: -1, EINVAL, nothing started.
void groups_refused(benchmark::State &state)
{
    const std::vector<gid_t> groups(size_t(state.range(0)));
    const char *const argv[] = {"/bin/true", nullptr};
    qo_run_options o{};
    o.flags = QO_RUN_USER, o.groups = groups.data(), o.groups_count = groups.size();
    for (auto _ : state)
        if (qo_run(argv, &o) != -1)
            state.SkipWithError("qo_run did not refuse");
}

// Each count a name of its own: the table pairs benchmarks by name.
BENCHMARK_CAPTURE(args_qo, plain, false)
    ->Name("start/args25000/qo")
    ->Arg(25000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(args_spawn)
    ->Name("start/args25000/posix_spawn")
    ->Arg(25000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(args_qo, plain, false)
    ->Name("start/args100000/qo")
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(args_qo, logged, true)
    ->Name("start/args100000/qo_logged")
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(args_spawn)
    ->Name("start/args100000/posix_spawn")
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(env_qo)->Name("start/env20000/qo")->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(env_spawn)
    ->Name("start/env20000/posix_spawn")
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(fds_qo)->Name("start/fds1000/qo")->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(fds_spawn)
    ->Name("start/fds1000/posix_spawn")
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(fds_qo)->Name("start/fds10000/qo")->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(fds_spawn)
    ->Name("start/fds10000/posix_spawn")
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(groups_refused)
    ->Name("start/groups65537/refused")
    ->Arg(1 << 16 | 1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(groups_refused)
    ->Name("start/groups1048576/refused")
    ->Arg(1 << 20)
    ->Unit(benchmark::kMillisecond);

} // namespace
