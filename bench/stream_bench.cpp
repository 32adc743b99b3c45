// Output taken line by line: qo_run with a line callback against a plain
// read() loop on a pipe from the same command, and a capture with a no-op
// callback set against the same capture without one. The command is cat of
// a file of text lines, 80 bytes long on average, as logs and listings are;
// the capture is also measured on zeros, which hold no line end.
#include "qo.h"
#include "qo.hpp"
#include "paired.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr size_t file_size = size_t{4} << 20; // catted 256 times: 1 GiB

// 4 MiB of lines of 40 to 120 printable bytes and a line feed, written
// once to a scratch file that goes at exit.
char scratch[] = "/tmp/qo-bench-lines-XXXXXX";

const char *lines_file()
{
    static const bool written = [] {
        const int fd = mkstemp(scratch);
        std::mt19937 random(7);
        std::string text;
        text.reserve(file_size);
        while (text.size() < file_size) {
            const size_t length =
                std::min<size_t>(40 + random() % 81, file_size - text.size() - 1);
            for (size_t i = 0; i < length; i++)
                text += static_cast<char>(' ' + random() % 95);
            text += '\n';
        }
        if (fd < 0 || write(fd, text.data(), text.size()) != ssize_t(text.size()))
            std::abort();
        close(fd);
        std::atexit([] { unlink(scratch); });
        return true;
    }();
    return written ? scratch : nullptr;
}

// cat of the file, copies times over.
std::vector<const char *> cat(size_t copies)
{
    std::vector<const char *> argv{"cat"};
    argv.insert(argv.end(), copies, lines_file());
    argv.push_back(nullptr);
    return argv;
}

struct Tally {
    size_t lines = 0, bytes = 0;
};

int count_line(void *context, const char *, size_t size)
{
    auto *tally = static_cast<Tally *>(context);
    tally->lines++;
    tally->bytes += size;
    return 0;
}

int no_op(void *, const char *, size_t)
{
    return 0;
}

void check(benchmark::State &state, size_t bytes, size_t expected)
{
    if (bytes != expected)
        state.SkipWithError("bytes lost");
}

void lines_qo(benchmark::State &state)
{
    const auto argv = cat(256);
    for (auto _ : state) {
        Tally tally;
        qo_run_options o{};
        o.context = &tally;
        o.on_output = count_line;
        if (qo_run(argv.data(), &o) != 0)
            state.SkipWithError("qo_run failed");
        check(state, tally.bytes, size_t{1} << 30);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t{1} << 30));
}

void lines_hpp(benchmark::State &state)
{
    const auto argv = cat(256);
    const std::vector<std::string> words(argv.begin(), argv.end() - 1);
    for (auto _ : state) {
        Tally tally;
        qo::run_options o;
        o.on_output = [&tally](std::string_view line) {
            tally.lines++;
            tally.bytes += line.size();
        };
        if (!qo::run(words, o).ok())
            state.SkipWithError("qo::run failed");
        check(state, tally.bytes, size_t{1} << 30);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t{1} << 30));
}

// What a caller writes by hand: the command's stdout on a pipe, read in
// 64 KiB reads until its end; with split, each line found with memchr.
template <bool split> void lines_read(benchmark::State &state)
{
    const auto argv = cat(256);
    std::vector<char> buffer(size_t{64} << 10);
    for (auto _ : state) {
        int pipe_fds[2];
        if (pipe(pipe_fds) != 0)
            std::abort();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
        pid_t pid;
        if (posix_spawnp(&pid, "cat", &actions, nullptr,
                         const_cast<char *const *>(argv.data()), environ) != 0)
            std::abort();
        posix_spawn_file_actions_destroy(&actions);
        close(pipe_fds[1]);
        Tally tally;
        ssize_t got;
        while ((got = read(pipe_fds[0], buffer.data(), buffer.size())) > 0) {
            tally.bytes += size_t(got);
            if constexpr (split) {
                const char *at = buffer.data(), *end = at + got;
                while (const void *nl = memchr(at, '\n', size_t(end - at))) {
                    tally.lines++;
                    at = static_cast<const char *>(nl) + 1;
                }
            }
        }
        close(pipe_fds[0]);
        int status;
        if (waitpid(pid, &status, 0) != pid || status != 0)
            state.SkipWithError("cat failed");
        benchmark::DoNotOptimize(tally);
        check(state, tally.bytes, size_t{1} << 30);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t{1} << 30));
}

// 100 MiB captured, with and without a callback that does nothing: text
// lines, and zeros (no line end: pieces of QO_RUN_LINE_MAX bytes), which
// leave the callback only the search for line ends.
const char *const zeros[] = {"dd",        "if=/dev/zero", "bs=1M",
                             "count=100", "status=none",  nullptr};

// One capture of the 100 MiB argv writes; false when it failed or lost
// bytes.
bool capture_once(const char *const *argv, bool callback)
{
    char *out = nullptr;
    size_t size = 0;
    qo_run_options o{};
    o.output = &out;
    o.output_size = &size;
    if (callback)
        o.on_output = no_op;
    const bool ok = qo_run(argv, &o) == 0 && size == size_t{100} << 20;
    free(out);
    return ok;
}

template <bool callback, bool text> void capture(benchmark::State &state)
{
    const auto lines = cat(25);
    const char *const *argv = text ? lines.data() : zeros;
    for (auto _ : state)
        if (!capture_once(argv, callback))
            state.SkipWithError("qo_run failed or bytes lost");
    state.SetBytesProcessed(state.iterations() * (int64_t{100} << 20));
}

// The text capture with and without the callback back to back in each
// iteration (see paired.h): the counter is the time without over the time
// with.
void capture_paired(benchmark::State &state)
{
    const auto lines = cat(25);
    bench::paired(
        state, "plain_vs_callback", [&] { return capture_once(lines.data(), true); },
        [&] { return capture_once(lines.data(), false); });
}

// The file written with the lines watched on the way (on_output with
// output_file): the stream passes through the caller, against the command
// writing the file itself.
template <bool watched> void to_file(benchmark::State &state)
{
    const auto argv = cat(256);
    char name[] = "/tmp/qo-bench-out-XXXXXX";
    close(mkstemp(name));
    for (auto _ : state) {
        Tally tally;
        size_t size = 0;
        qo_run_options o{};
        o.output_file = name;
        o.output_size = &size;
        o.context = &tally;
        o.on_output = watched ? count_line : nullptr;
        if (qo_run(argv.data(), &o) != 0)
            state.SkipWithError("qo_run failed");
        if (watched)
            check(state, tally.bytes, size_t{1} << 30);
    }
    unlink(name);
    state.SetBytesProcessed(state.iterations() * (int64_t{1} << 30));
}

BENCHMARK(lines_qo)
    ->Name("stream/lines/qo")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(lines_hpp)
    ->Name("stream/lines/hpp")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(lines_read<false>)
    ->Name("stream/lines/read")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(lines_read<true>)
    ->Name("stream/lines/read_memchr")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(capture<true, true>)
    ->Name("stream/capture/callback")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(capture<false, true>)
    ->Name("stream/capture/plain")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(capture_paired)
    ->Name("stream/capture/paired")
    ->Iterations(20)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(capture<true, false>)
    ->Name("stream/capture/zeros/callback")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(capture<false, false>)
    ->Name("stream/capture/zeros/plain")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
BENCHMARK(to_file<true>)
    ->Name("stream/file/watched")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(to_file<false>)
    ->Name("stream/file/direct")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
