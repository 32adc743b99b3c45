#include "qo.h"
#include "support.h"

#include <algorithm>
#include <cctype>
#include <dlfcn.h>
#include <malloc.h>
#include <poll.h>
#include <numeric>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <regex>
#include <sstream>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <grp.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {

using qo_test::ScratchPath;
using testing::ExitedWithCode;
using namespace std::string_literals;

class Run : public qo_test::Bounded<120> {};

struct Result {
    int status, error;
    std::string out, err;
    long ms;
    std::string why;
};

// Runs args with stdout and stderr captured, or else routed as o says.
Result capture(const std::vector<std::string> &args, qo_run_options o = {},
               bool into_slots = true)
{
    std::vector<const char *> argv;
    for (const auto &a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    char *out = nullptr, *err = nullptr, *why = nullptr;
    if (into_slots)
        o.output = &out, o.errors = &err;
    o.why = &why;
    const auto start = std::chrono::steady_clock::now();
    const int status = qo_run(argv.data(), &o), error = errno;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    Result r{
        status, error, out ? out : "", err ? err : "", static_cast<long>(ms.count()),
        why};
    free(out);
    free(err);
    free(why);
    return r;
}

std::vector<std::string> sh(const std::string &script)
{
    return {"sh", "-c", script};
}

// What the test's own stdout and stderr receive while f runs.
template <typename F> std::pair<std::string, std::string> caller_stdio(F f)
{
    ScratchPath files[2];
    fflush(nullptr);
    int saved[2];
    for (int fd : {1, 2}) {
        saved[fd - 1] = dup(fd);
        const int file = open(files[fd - 1].c_str(), O_WRONLY | O_CREAT, 0600);
        dup2(file, fd);
        close(file);
    }
    f();
    for (int fd : {1, 2}) {
        dup2(saved[fd - 1], fd);
        close(saved[fd - 1]);
    }
    return {files[0].contents(), files[1].contents()};
}

// ---- Arguments ----------------------------------------------------------

const char *const shell_bait[] = {"'", "\"", "$(id)", "`id`",  "\n",  "-", "--x", "\\",
                                  " ", "*",  "~",     "$HOME", ";",   "|", "&",   "%s",
                                  "=", "#",  "!",     "{a,b}", "\xff"};

// Lines of random bytes (any but the line feed), 0 to 300 long, then a
// line longer than a piece the callback is given, and an unended last one
// when asked.
std::string watched_bytes(size_t size, bool unended, unsigned seed)
{
    std::mt19937 random(seed);
    std::string text;
    while (text.size() < size) {
        const size_t length = random() % 301;
        for (size_t i = 0; i < length; ++i) {
            const unsigned byte = random() % 255;
            text += static_cast<char>(byte < '\n' ? byte : byte + 1);
        }
        text += '\n';
    }
    text.append(size / 8, 'x').append("\n");
    if (unended)
        text += "no end";
    return text;
}

// output_file with on_output: the run reads the command's pipe and writes
// the file itself. Whatever the size against the pipe's (64 KiB, grown to
// 1 MiB for a fast writer), the file gets every byte in order and the
// callback every line, as the flags ask.
TEST_F(Run, WatchedFileGetsEveryByteAndTheCallbackEveryLine)
{
    const struct {
        size_t size;
        bool unended;
        int flags;
        const char *before; // the file's content before the run
    } cases[] = {
        {100, true, 0, "old"},
        {70000, true, 0, "old"},
        {3u << 20, false, QO_RUN_REPLACE, "old"},
        {200000, true, QO_RUN_PARTIAL_LINES, ""},
        {150000, true, QO_RUN_APPEND, "kept\n"},
    };
    for (const auto &c : cases) {
        const qo_test::ScratchFolder folder;
        const std::string in = folder / "in", out = folder / "out";
        const std::string text = watched_bytes(c.size, c.unended, c.flags + 7);
        qo_test::write_file(in, text);
        qo_test::write_file(out, c.before);
        std::string seen;
        size_t size = 0, lines = 0, unended = 0;
        struct Seen {
            std::string *text;
            size_t *lines, *unended;
        } context{&seen, &lines, &unended};
        qo_run_options o{};
        o.input_file = in.c_str(), o.output_file = out.c_str(), o.flags = c.flags;
        o.output_size = &size, o.context = &context;
        o.on_output = [](void *context, const char *line, size_t n) {
            const auto *s = static_cast<Seen *>(context);
            s->text->append(line, n);
            ++*s->lines;
            *s->unended += n == 0 || line[n - 1] != '\n';
            return 0;
        };
        const Result r = capture({"cat"}, o, false);
        const std::string what =
            std::to_string(c.size) + " flags " + std::to_string(c.flags);
        EXPECT_EQ(r.status, 0) << what << ": " << r.why;
        EXPECT_TRUE(qo_test::read_file(out) ==
                    (c.flags & QO_RUN_APPEND ? c.before : "") + text)
            << what;
        EXPECT_TRUE(seen == text) << what;
        EXPECT_EQ(size, text.size()) << what;
        EXPECT_GE(lines,
                  static_cast<size_t>(std::count(text.begin(), text.end(), '\n')));
        EXPECT_GE(unended, size_t{c.unended}) << what;
    }
}

// A file that cannot take more (RLIMIT_FSIZE) fails the run as a full disk
// does, with SIGXFSZ kept from the caller; the bytes before the limit are
// in it.
TEST_F(Run, WatchedFilePastItsSizeLimitFailsTheRunWithoutASignal)
{
    const qo_test::ScratchFolder folder;
    const std::string in = folder / "in", out = folder / "out";
    qo_test::write_file(in, watched_bytes(300000, false, 3));
    const auto limited = [&] {
        const rlimit limit{100000, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limit);
        qo_run_options o{};
        o.input_file = in.c_str(), o.output_file = out.c_str();
        o.on_output = [](void *, const char *, size_t) { return 0; };
        const Result r = capture({"cat"}, o, false);
        const bool failed =
            r.status == -1 && r.why.find("File too large") != std::string::npos;
        _exit(failed && qo_test::read_file(out).size() == 100000 ? 0 : 1);
    };
    EXPECT_EXIT(limited(), ExitedWithCode(0), "");
}

// Where the file is a regular one that is not appended to, the command
// writes it itself and the run follows it: each line reaches the callback
// while the command still runs (it waits, 3 s at most, for the flag file
// the callback makes on seeing trigger), a deadline ends the run on time
// with what came before it, and output_size is the file's size. A FIFO and
// QO_RUN_APPEND keep the pipe. The command tells which it writes to. A
// run that cannot start leaves no descriptor open.
TEST_F(Run, FollowedFileHandsEachLineWhileTheCommandRuns)
{
    // The command does first, then waits for the flag; the last case
    // writes more than a round reads at once, in one write ending with the
    // trigger: its line comes in a round of its own, with nothing more
    // written.
    const char *const script =
        "eval \"$1\"; w=0; while [ ! -e \"$0\" ] && [ $w -lt 300 ]; do sleep 0.01; "
        "w=$((w+1)); done; [ -e \"$0\" ] && echo ' done'";
    const char *const first =
        "echo one; test -f /dev/stdout && echo file || echo pipe; printf half";
    const qo_test::ScratchFolder in_folder;
    const std::string in = in_folder / "in", line = std::string(63, 'y') + "\n";
    std::string block, block_lines;
    for (int i = 0; i < 65536; ++i)
        block += line, block_lines += line + "|";
    qo_test::write_file(in, block + "file\n");
    const std::string writes_once = "dd bs=8M iflag=fullblock status=none if=" + in;
    const struct {
        const char *name, *first, *trigger;
        int flags, timeout_ms;
        bool held, pipeline, fifo;
        std::string lines; // as the callback got them, each ended by |
    } cases[] = {
        {"run", first, "file\n", 0, 0, false, false, false,
         "one\n|file\n|half done\n|"},
        {"held, through qo_job_fd", first, "file\n", 0, 0, true, false, false,
         "one\n|file\n|half done\n|"},
        {"last stage of a pipeline", first, "pipe\n", 0, 0, false, true, false,
         "last file\n|one\n|pipe\n|half done\n|"},
        {"replaced", first, "file\n", QO_RUN_REPLACE, 0, false, false, false,
         "one\n|file\n|half done\n|"},
        {"partial lines", first, "half", QO_RUN_PARTIAL_LINES, 0, false, false, false,
         "one\n|file\n|half| done\n|"},
        {"deadline", "echo one; echo file; exec sleep 10", "", 0, 300, false, false,
         false, "one\n|file\n|"},
        {"more than a round reads", writes_once.c_str(), "file\n", 0, 0, false, false,
         false, block_lines + "file\n| done\n|"},
        {"appended: the pipe", first, "pipe\n", QO_RUN_APPEND, 0, false, false, false,
         "one\n|pipe\n|half done\n|"},
        {"a FIFO: the pipe", first, "pipe\n", 0, 0, false, false, true,
         "one\n|pipe\n|half done\n|"},
    };
    for (const auto &c : cases) {
        const qo_test::ScratchFolder folder;
        const std::string out = folder / "out", flag = folder / "flag";
        if (c.fifo)
            mkfifo(out.c_str(), 0600);
        const int fifo_reader = c.fifo ? open(out.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        struct Seen {
            std::string lines, trigger, flag;
        } seen{"", c.trigger, flag};
        size_t size = 0;
        qo_run_options o{};
        o.output_file = out.c_str(), o.flags = c.flags, o.timeout_ms = c.timeout_ms;
        o.output_size = &size, o.context = &seen;
        o.on_output = [](void *context, const char *line, size_t n) {
            auto *s = static_cast<Seen *>(context);
            s->lines.append(line, n).append("|");
            if (std::string(line, n) == s->trigger)
                close(open(s->flag.c_str(), O_WRONLY | O_CREAT, 0600));
            return 0;
        };
        const char *const argv[] = {"sh", "-c", script, flag.c_str(), c.first, nullptr};
        const char *const cat[] = {
            "sh", "-c", "test -f /dev/stdout && echo last file; exec cat", nullptr};
        const char *const *stages[] = {argv, cat, nullptr};
        const auto start = std::chrono::steady_clock::now();
        int status = -1;
        if (c.held) {
            qo_job *job = qo_start(argv, &o);
            pollfd p{qo_job_fd(job), POLLIN, 0};
            while (!qo_job_serve(job, 0))
                poll(&p, 1, -1);
            status = qo_job_wait(job, -1, nullptr);
            qo_job_free(job);
        } else {
            status = c.pipeline ? qo_pipeline(stages, &o, nullptr) : qo_run(argv, &o);
        }
        const long ms =
            static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - start)
                                  .count());
        char bytes[4096];
        const ssize_t n = c.fifo ? read(fifo_reader, bytes, sizeof bytes) : 0;
        const std::string written = c.fifo ? std::string(bytes, std::max<ssize_t>(n, 0))
                                           : qo_test::read_file(out);
        close(fifo_reader);
        if (c.timeout_ms) {
            EXPECT_EQ(status, SIGTERM) << c.name;
            // On time: not after the command's 10 s, whatever the load.
            EXPECT_TRUE(ms >= c.timeout_ms && ms < c.timeout_ms + 3000) << ms << " ms";
        } else {
            EXPECT_EQ(status, 0) << c.name;
        }
        EXPECT_EQ(seen.lines, c.lines) << c.name;
        std::string text = c.lines;
        text.erase(std::remove(text.begin(), text.end(), '|'), text.end());
        EXPECT_EQ(written, text) << c.name;
        EXPECT_EQ(size, text.size()) << c.name;
    }
    const auto open_fds = [] {
        const std::filesystem::directory_iterator listed("/proc/self/fd");
        return std::distance(listed, {});
    };
    const auto fds_before = open_fds();
    const qo_test::ScratchFolder folder;
    const std::string out = folder / "out";
    qo_run_options o{};
    o.output_file = out.c_str();
    o.on_output = [](void *, const char *, size_t) { return 0; };
    EXPECT_EQ(capture({"/no/such/program"}, o, false).status, -1);
    EXPECT_EQ(open_fds(), fds_before);
}

TEST_F(Run, GeneratedArgumentsArriveByteForByteAndTheLoggedLineRunsTheSame)
{
    std::mt19937 rng(15);
    for (int i = 0; i < 2000; ++i) {
        std::vector<std::string> args(rng() % 6);
        for (auto &a : args)
            for (unsigned n = rng() % 8; n > 0; --n)
                a += rng() % 2 ? std::string(shell_bait[rng() % std::size(shell_bait)])
                               : std::string(1, static_cast<char>(1 + rng() % 255));
        std::string expected = args.empty() ? std::string(1, '\0') : "";
        for (const auto &a : args)
            expected += a + '\0';
        ScratchPath file, log;
        args.insert(args.begin(),
                    {"sh", "-c", "printf '%s\\0' \"$@\" >\"$0\"", file.c_str()});
        qo_log_open(log.c_str(), 5);
        ASSERT_EQ(capture(args).status, 0);
        qo_log_close();
        ASSERT_EQ(file.contents(), expected) << "vector " << i;
        if (i % 20)
            continue;
        // Pasted into a shell, the logged command line runs the same.
        const std::string entry = log.contents();
        const size_t start = entry.find(": ", entry.find('#')) + 2;
        unlink(file.c_str());
        ASSERT_EQ(
            qo_system("%s", entry.substr(start, entry.find("\nDBG5") - start).c_str()),
            0);
        ASSERT_EQ(file.contents(), expected) << entry;
    }
}

// ---- Streams ------------------------------------------------------------

bool repeats(const std::string &s, size_t from, const std::string &unit)
{
    for (size_t i = from; i < s.size(); i += unit.size())
        if (s.compare(i, unit.size(), unit, 0, s.size() - i) != 0)
            return false;
    return true;
}

TEST_F(Run, HundredMegabytesOutOnEachStreamWhileTenGoInAndSignalsInterrupt)
{
    std::string input(10'000'000, '\0');
    std::mt19937 rng(10);
    std::generate(input.begin(), input.end(), [&] { return 1 + rng() % 255; });
    // A handler without SA_RESTART: the run's waits keep being interrupted.
    struct sigaction quiet {};
    quiet.sa_handler = [](int) {};
    sigaction(SIGUSR1, &quiet, nullptr);
    std::atomic<bool> running{true};
    std::thread pest([&, runner = pthread_self()] {
        for (; running; usleep(500))
            pthread_kill(runner, SIGUSR1);
    });
    qo_run_options o{};
    o.input = input.c_str();
    const Result r = capture(sh("yes 0123456789abcde | head -c 100000000 >&2 & cat; "
                                "yes fedcba9876543 | head -c 90000000; wait"),
                             o);
    running = false;
    pest.join();
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.out.size(), 100'000'000u);
    ASSERT_EQ(r.err.size(), 100'000'000u);
    EXPECT_EQ(r.out.compare(0, input.size(), input), 0);
    EXPECT_TRUE(repeats(r.out, input.size(), "fedcba9876543\n"));
    EXPECT_TRUE(repeats(r.err, 0, "0123456789abcde\n"));
}

TEST_F(Run, EachStreamGoesWhereTheOptionsSay)
{
    char *merged = nullptr, *out = nullptr;
    qo_run_options both{}, out_only{};
    both.output = both.errors = &merged;
    both.input = "in ";
    out_only.output = &out;
    out_only.dir = "/";
    const auto stdio = caller_stdio([&] {
        capture(sh("cat; echo out; echo err >&2"), both, false);
        capture(sh("pwd; cat; echo err >&2"), out_only, false);
        capture(sh("cat; echo out; echo err >&2"), {}, false); // stdin: /dev/null
    });
    EXPECT_STREQ(merged, "in out\nerr\n");
    EXPECT_STREQ(out, "/\n");
    EXPECT_EQ(stdio, std::make_pair(std::string("out\n"), std::string("err\nerr\n")));
    free(merged);
    qo_free(&out);
    EXPECT_EQ(qo_system_output(&out, "echo %s | tr a-z A-Z", "'x y'"), 0);
    EXPECT_STREQ(out, "X Y\n");
    free(out);
    // A command that reads none of its input: the caller survives the EPIPE.
    const std::string unread(1 << 20, 'x');
    both.input = unread.c_str();
    EXPECT_EQ(capture({"true"}, both).status, 0);
    // The caller's stdout a socket: what the run passes on (the lines it
    // also logs) reaches it as the command wrote it.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const int saved = dup(STDOUT_FILENO);
    dup2(pair[0], STDOUT_FILENO);
    qo_run_options logged{};
    logged.log_output = 9;
    capture({"echo", "sock"}, logged, false);
    dup2(saved, STDOUT_FILENO);
    close(saved), close(pair[0]);
    char got[16] = {};
    EXPECT_EQ(read(pair[1], got, sizeof got - 1), 5);
    EXPECT_STREQ(got, "sock\n");
    close(pair[1]);
}

long open_fds()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// The descriptors of a shell that popen() starts while qo runs commands.
std::string foreign_fds()
{
    FILE *shell = popen("ls /proc/$$/fd; true", "re");
    std::string seen;
    for (int c; (c = fgetc(shell)) != EOF;)
        seen += static_cast<char>(c);
    pclose(shell);
    return seen;
}

TEST_F(Run, ThousandRunsInFourThreadsLeaveNoZombieNoDescriptorAndOtherChildrenAlone)
{
    const pid_t sibling = fork(); // the caller's own child, for the caller to reap
    if (sibling == 0)
        _exit(7);
    const auto before = open_fds();
    const int stray = open("/dev/null", O_RDONLY); // no close-on-exec
    const std::string baseline = foreign_fds();
    EXPECT_NE(baseline.find(std::to_string(stray) + "\n"), std::string::npos);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 250; ++i) {
                const std::string tag = std::to_string(t * 1000 + i) + "\n";
                qo_run_options o{};
                o.input = tag.c_str();
                o.timeout_ms = i % 2 ? 10'000 : 0;
                if (i % 50 == 0) // what qo opens is close-on-exec
                    wrong += foreign_fds() != baseline;
                else if (i % 5 == 0)
                    wrong += capture({"no-such-qo-command"}, o).status != -1;
                else // the command gets 0-2 and nothing else of the caller's
                    wrong += capture(sh("cat; ls /proc/$$/fd; true"), o).out !=
                             tag + "0\n1\n2\n";
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(wrong, 0);
    close(stray);
    EXPECT_EQ(open_fds(), before);
    int status = 0;
    EXPECT_EQ(waitpid(sibling, &status, 0), sibling);
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// ---- Time limits --------------------------------------------------------

TEST_F(Run, DeadlineEndsTheWholeGroupButNoRunThatEndsInTime)
{
    // script, captured, timeout, status, errno, shortest and longest run (ms)
    const std::tuple<const char *, bool, int, int, int, long, long> cases[] = {
        // The background child holds nothing: the run ends with the shell.
        {"sleep 100 >/dev/null 2>&1 & echo $!", true, 5000, 0, 0, 0, 1000},
        // It holds stdout and stderr: the deadline ends it, and the run cut
        // short reads as a kill by the stop signal, though the shell exited 0.
        {"sleep 100 & echo started", true, 1500, SIGTERM, ETIMEDOUT, 1500, 2300},
        {"sleep 100", false, 300, SIGTERM, ETIMEDOUT, 300, 1100},
        {"exec >&- 2>&-; sleep 100", true, 300, SIGTERM, ETIMEDOUT, 300, 1100},
        // SIGTERM ignored: SIGKILL a second later.
        {"trap '' TERM; sleep 100", true, 300, SIGKILL, ETIMEDOUT, 1300, 2100},
        // A daemon outside the group holds the pipes: the run ends at SIGKILL.
        {"setsid sleep 100 & echo $!", true, 300, SIGTERM, ETIMEDOUT, 1300, 2100},
        // A lone command leads the job's group: setsid forks, and its child
        // is such a daemon.
        {"exec setsid -w sh -c 'echo $$; exec sleep 100'", true, 300, SIGTERM,
         ETIMEDOUT, 1300, 2100},
    };
    for (const auto &[script, captured, timeout_ms, status, error, min, max] : cases) {
        qo_run_options o{};
        o.timeout_ms = timeout_ms;
        const Result r = capture(sh(script), o, captured);
        EXPECT_EQ(r.status, status) << script;
        EXPECT_EQ(r.error, error) << script;
        EXPECT_TRUE(r.ms >= min && r.ms < max) << script << ": " << r.ms << " ms";
        if (isdigit(r.out[0])) // the sleep left behind
            kill(std::stoi(r.out), SIGKILL);
    }
}

// ---- Logging ------------------------------------------------------------

TEST_F(Run, LogShowsEachCommandItsOutputAndHowItEnded)
{
    ScratchPath log;
    qo_log_open(log.c_str(), 5);
    const int line = __LINE__ + 3;
    auto run = [](std::vector<const char *> argv, qo_run_options o = {}) {
        argv.push_back(nullptr);
        return caller_stdio([&] { qo_run(argv.data(), &o); });
    };
    run({"sh", "-c", "kill -9 $$"});
    qo_run_options o{};
    o.timeout_ms = 1500;
    run({"sleep", "100"}, o);
    run({"no-such-qo-command", "x"});
    o = {};
    o.log_output = 3;
    o.dir = "/";
    EXPECT_EQ(run({"sh", "-c", "pwd; printf 'a\\nb'"}, o).first, "/\na\nb");
    o.dir = nullptr;
    run({"sh", "-c", "echo e >&2; exit 2"}, o);
    o = {};
    const char *const env[] = {"LC_ALL=C", "TERM", nullptr};
    o.env = env;
    o.dir = "-P"; // read as a folder, not an option
    run({"true"}, o);
    o = {};
    o.dir = "/";
    o.input_file = "/dev/null"; // opened in the caller's folder, before the cd
    run({"true"}, o);
    o = {};
    const char *const path[] = {"PATH=/usr/bin:/bin", "HOME", nullptr};
    o.env = path;
    o.flags = QO_RUN_CLEAR_ENV;
    run({"true"}, o);
    o = {};
    o.on_output = [](void *, const char *, size_t) { return 1; };
    run({"sh", "-c", "echo x; exec sleep 60"}, o);
    qo_log_set_level(4); // the failure alone is written
    run({"sh", "-c", "exit 1"});
    run({"no-such-qo-command"});
    qo_log_close();

    const char *const expected[] = {
        "5 sh -c 'kill -9 $$' # pid N",
        "5 sh: killed by signal 9 (Killed) (N ms, N ms CPU, S) # pid N",
        "5 sleep 100 # pid N",
        ("5 sleep: timed out after 1500 ms, killed by signal 15 (Terminated) (N ms, N "
         "ms CPU, S) # pid N"),
        "5 no-such-qo-command x",
        "4 Unable to run no-such-qo-command: No such file or directory",
        "5 cd / && sh -c 'pwd; printf '\\''a\\nb'\\''' # pid N",
        "3 stdout: /",
        "3 stdout: a",
        "3 stdout: b",
        "5 sh: exited with status 0 (N ms, N ms CPU, S) # pid N",
        "5 sh -c 'echo e >&2; exit 2' # pid N",
        "3 stderr: e",
        "5 sh: exited with status 2 (N ms, N ms CPU, S) # pid N",
        "5 cd ./-P && env -u TERM LC_ALL=C true",
        "4 Unable to run true in -P: No such file or directory",
        "5 (cd / && true) </dev/null # pid N",
        "5 true: exited with status 0 (N ms, N ms CPU, S) # pid N",
        "5 env -i PATH=/usr/bin:/bin true # pid N",
        "5 true: exited with status 0 (N ms, N ms CPU, S) # pid N",
        "5 sh -c 'echo x; exec sleep 60' # pid N",
        ("5 sh: stopped by a callback, killed by signal 15 (Terminated) (N ms, N ms "
         "CPU, S) # pid N"),
        "4 Unable to run no-such-qo-command: No such file or directory",
    };
    // The entries name the function that called the front: here, the lambda.
    std::string want;
    for (const std::string e : expected)
        want += "DBG" + e.substr(0, 1) + ": tests/run_test.cpp->operator()#" +
                std::to_string(line) + ":" + e.substr(1) + "\n";
    // The times and sizes vary: the duration, then the CPU time and the
    // peak size the command used.
    const std::string seen = std::regex_replace(
        log.contents(), std::regex("\\([0-9]+ ms, [0-9]+ ms CPU, [0-9.]+ [KMG]iB\\)"),
        "(N ms, N ms CPU, S)");
    EXPECT_EQ(std::regex_replace(seen, std::regex("# pid [0-9]+"), "# pid N"), want);

    // A program built against 1.4 calls the entry that knows no function:
    // its entries name the entry itself, as 1.4's did.
    ScratchPath old_log;
    qo_log_open(old_log.c_str(), 5);
    const char *const argv[] = {"true", nullptr};
    EXPECT_EQ(qo_run_int(argv, nullptr, 7, "old.c"), 0);
    qo_log_close();
    // The usage told after the duration is another test's: a peak measured
    // under a sanitizer reads in GiB.
    const std::string old_entries = std::regex_replace(
        old_log.contents(), std::regex("\\([0-9]+ ms[^)]*\\)"), "(N ms)");
    EXPECT_EQ(std::regex_replace(old_entries, std::regex("[0-9]+"), "N"),
              "DBGN: old.c->qo_run_int#N: true # pid N\n"
              "DBGN: old.c->qo_run_int#N: true: exited with status N (N ms) # pid N\n");
}

// ---- Failures -----------------------------------------------------------

// Exits 0 when a run whose descriptors run out (pipes) or whose status the
// kernel discards (SIGCHLD ignored) gives -1, the errno and the why for it.
[[noreturn]] void run_deprived(int error, const char *why)
{
    alarm(60);
    const int lowest_free = dup(0);
    close(lowest_free);
    rlimit normal{};
    getrlimit(RLIMIT_NOFILE, &normal);
    // Room for the stdout pipe and one end of the stderr pipe.
    const rlimit scarce{static_cast<rlim_t>(lowest_free) + 3, normal.rlim_max};
    if (error == EMFILE)
        setrlimit(RLIMIT_NOFILE, &scarce);
    else
        signal(SIGCHLD, SIG_IGN);
    const Result r = capture({"true"});
    setrlimit(RLIMIT_NOFILE, &normal); // exit() needs descriptors of its own
    exit(r.status == -1 && r.error == error && r.why == why ? 0 : 1);
}

TEST_F(Run, CommandThatCannotStartGivesMinusOneErrnoAndEmptySlots)
{
    ScratchPath plain;
    qo_test::write_file(plain.c_str(), "#!/bin/sh\n"); // not executable
    const std::tuple<const char *, const char *, int> cases[] = {
        {"no-such-qo-command", nullptr, ENOENT},
        {plain.c_str(), nullptr, EACCES},
        {"/", nullptr, EACCES},
        {"true", "/no/such/folder", ENOENT},
    };
    for (const auto &[command, dir, error] : cases) {
        qo_run_options o{};
        o.dir = dir;
        const Result r = capture({command}, o);
        EXPECT_EQ(r.status, -1) << command;
        EXPECT_EQ(r.error, error) << command;
        EXPECT_EQ(r.out + r.err, "") << command;
    }
    char *text = qo_status_text(-1);
    EXPECT_STREQ(text, "could not be run");
    qo_free(&text);
    text = qo_status_text(0x137f); // stopped by SIGSTOP: not an end
    EXPECT_STREQ(text, "unknown status 4991");
    qo_free(&text);
}

// The program is looked for as posix_spawnp looks: along the caller's PATH
// (an empty entry is the command's folder, no PATH is /bin:/usr/bin), past
// files it may not run, and a file that is not a program is not handed to
// a shell.
TEST_F(Run, ProgramIsFoundAlongPathAndNeverHandedToAShell)
{
    qo_test::ScratchFolder a, b;
    const std::string in_a = a / "", in_b = b / "", text = b / "qo-text";
    qo_test::write_file((a / "qo-prog").c_str(),
                        "#!/bin/sh\necho a\n"); // not executable
    qo_test::write_file((b / "qo-prog").c_str(), "#!/bin/sh\necho b\n");
    qo_test::write_file(text.c_str(), "echo text\n"); // no #! line
    chmod((b / "qo-prog").c_str(), 0755);
    chmod(text.c_str(), 0755);
    struct Case {
        std::string path; // "-": unset
        std::string command;
        const char *dir;
        int status, error;
        std::string out;
    };
    const Case cases[] = {
        {"/bin", text, nullptr, -1, ENOEXEC, ""},
        {in_b, "qo-text", nullptr, -1, ENOEXEC, ""},
        {in_a + ":" + in_b, "qo-prog", nullptr, 0, 0, "b\n"},
        {in_a, "qo-prog", nullptr, -1, EACCES, ""},
        {"/no/such/qo:", "qo-prog", in_b.c_str(), 0, 0, "b\n"},
        {"-", "echo", nullptr, 0, 0, "\n"},
        {std::string(5000, 'd') + ":/bin", "echo", nullptr, 0, 0, "\n"},
        {"/bin", std::string(300, 'n'), nullptr, -1, ENAMETOOLONG, ""},
    };
    const char *before = getenv("PATH");
    const std::string kept = before ? before : "";
    for (const auto &c : cases) {
        if (c.path == "-")
            unsetenv("PATH");
        else
            setenv("PATH", c.path.c_str(), 1);
        qo_run_options o{};
        o.dir = c.dir;
        const Result r = capture({c.command}, o);
        EXPECT_EQ(r.status, c.status) << c.path << " " << c.command;
        EXPECT_EQ(r.error, c.error) << c.path << " " << c.command;
        EXPECT_EQ(r.out, c.out) << c.path << " " << c.command;
    }
    if (before)
        setenv("PATH", kept.c_str(), 1);
}

// Exits 0 when a caller whose descriptors 0-2 are closed, as a daemon's
// may be, still gets the pipes to the command right.
[[noreturn]] void run_without_stdio()
{
    alarm(60);
    for (int fd : {0, 1, 2})
        close(fd);
    qo_run_options o{};
    o.input = "in";
    const Result r = capture(sh("cat; echo out; echo err >&2"), o);
    exit(r.out == "inout\n" && r.err == "err\n" ? 0 : 1);
}

TEST(RunDeath, DeprivedCallerStillGetsAnHonestRun)
{
    EXPECT_EXIT(run_deprived(EMFILE, "Unable to run true: Too many open files"),
                ExitedWithCode(0), "");
    EXPECT_EXIT(run_deprived(ECHILD, "Unable to wait for true: No child processes"),
                ExitedWithCode(0), "");
    EXPECT_EXIT(run_without_stdio(), ExitedWithCode(0), "");
}

#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"

[[maybe_unused]] void capture_beyond_memory()
{
    const rlimit limit{48 << 20, 48 << 20};
    setrlimit(RLIMIT_DATA, &limit);
    char *out = nullptr;
    qo_system_output(&out, "head -c 100000000 /dev/zero");
}

TEST(RunDeath, BadArgumentsAndExhaustionEndTheProcessWithOneLine)
{
    const char *const no_args[] = {nullptr};
    const wchar_t unconvertible[] = {0xE9, 0}; // no conversion in the C locale
    char *s = nullptr;
    const char *no_format = nullptr;
    std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[] { qo_run(nullptr, nullptr); }, "qo_run: NULL argv"},
        {[&] { qo_run(no_args, nullptr); }, "qo_run: empty argv"},
        {[&] { qo_start(no_args, nullptr); }, "qo_start: empty argv"},
        {[&] {
             const char *const *const no_stage[] = {nullptr};
             qo_pipeline_start(no_stage, nullptr);
         },
         "qo_pipeline_start: no stage"},
        {[] { qo_system_output(nullptr, "true"); }, "qo_system_output: NULL slot"},
        {[&] { qo_system_output(&s, no_format); }, "qo_system_output: NULL format"},
        {[&] { qo_system_output(&s, "echo %ls", unconvertible); },
         "Unable to alloc memory in qo_system_output"},
        {[] {
             qo_run_options o{};
             o.on_input = [](void *, char *, size_t room) {
                 return static_cast<ssize_t>(room + 1);
             };
             const char *const cat[] = {"cat", nullptr};
             qo_run(cat, &o);
         },
         "qo_run: on_input returned more than room"},
    };
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers' shadow memory defeats RLIMIT_DATA.
    cases.emplace_back(capture_beyond_memory, "Unable to alloc memory in qo_run");
#endif
    for (const auto &[call, message] : cases) {
        ScratchPath log;
        EXPECT_EXIT((alarm(60), qo_log_open(log.c_str(), 1), call()),
                    ExitedWithCode(255), testing::Eq(message + "\n"));
        EXPECT_TRUE(std::regex_match(
            log.contents(),
            std::regex("DBG1: tests/run_test\\.cpp->"
                       "(operator\\(\\)|capture_beyond_memory)#[0-9]+: " +
                       message + "\nExiting...\n")))
            << log.contents();
    }
}

// What a run writes for the caller, where nobody takes it: the run still
// ends at its deadline, well before the grace a stalled reader used to
// hold it for. Each case runs in a child, as a stalled write would hang
// the test.
struct StalledWriter {
    const char *name;
    bool caller_stdout; // else the output file, with on_output (the tee)
    bool fifo;          // a FIFO whose reader stalled; else a pipe nobody reads
    bool held;          // a held job served with 0 until its end
};

// The ms the run took (its end checked), or -1.
long run_into_a_stalled_reader(const StalledWriter &c, int timeout_ms)
{
    ScratchPath fifo;
    int unread[2];
    if (mkfifo(fifo.c_str(), 0600) != 0 || pipe(unread) != 0)
        return -1;
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK); // reads nothing
    const int stalled = c.fifo ? open(fifo.c_str(), O_WRONLY) : unread[1];
    qo_run_options o{};
    o.timeout_ms = timeout_ms;
    if (c.caller_stdout) {
        dup2(stalled, STDOUT_FILENO);
        o.log_output = 9;
    } else {
        o.output_file = fifo.c_str();
        o.on_output = [](void *, const char *, size_t) { return 0; };
    }
    // Long lines: a serve's work (a callback a line) stays small.
    const std::string line(1000, 'y');
    const char *const argv[] = {"yes", line.c_str(), nullptr};
    const auto start = std::chrono::steady_clock::now();
    const auto ms = [&] {
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count());
    };
    int status = -1;
    if (c.held) {
        qo_job *job = qo_start(argv, &o);
        for (long before = ms(); !qo_job_serve(job, 0); before = ms())
            if (ms() - before > timeout_ms / 2) // 0 never blocks
                return -1;
        status = qo_job_wait(job, 0, nullptr);
        qo_job_free(job);
    } else {
        status = qo_run(argv, &o);
    }
    const int error = errno;
    close(reader);
    return status == SIGTERM && error == ETIMEDOUT ? ms() : -1;
}

TEST(RunDeath, WhatTheRunWritesForTheCallerNeverHoldsItPastTheDeadline)
{
    const StalledWriter cases[] = {
        {"the caller's stdout a pipe nobody reads", true, false, false},
        {"the caller's stdout a FIFO whose reader stalled", true, true, false},
        {"output_file with on_output, a FIFO whose reader stalled", false, true, false},
        {"the same, a held job served with 0", false, true, true},
    };
    constexpr int timeout_ms = 500;
    for (const auto &c : cases) {
        const auto bounded = [&c] {
            alarm(10);
            const long ms = run_into_a_stalled_reader(c, timeout_ms);
            fprintf(stderr, "%ld ms\n", ms);
            exit(ms >= timeout_ms && ms < timeout_ms + 400 ? 0 : 1);
        };
        EXPECT_EXIT(bounded(), ExitedWithCode(0), "") << c.name;
    }
}

// ---- Signals ------------------------------------------------------------

void reap_every_child(int)
{
    const int error = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = error;
}

TEST_F(Run, CommandStartsCleanAndKeepsItsStatus)
{
    struct Case {
        const char *script;
        int timeout_ms, status;
        const char *out;
    };
    const Case cases[] = {
        // The caller's thread blocks SIGTERM: the command still sees it.
        {"trap 'echo trapped; exit 3' TERM; sleep 100 & wait", 300, 3 << 8,
         "trapped\n"},
        // Nothing blocked; of the ignored signals only SIGINT stays so (the C
        // library's own, from 32 up, are its business).
        {"grep SigBlk /proc/self/status; s=$(grep SigIgn /proc/self/status);"
         "echo $((0x${s#*:?} & 0x7fffffff))",
         0, 0, "SigBlk:\t0000000000000000\n2\n"},
        // A SIGCHLD handler that reaps every child takes nothing.
        {"exit 7", 0, 7 << 8, ""},
    };
    struct sigaction reaper {
    }, before[3];
    reaper.sa_handler = reap_every_child;
    sigaction(SIGCHLD, &reaper, &before[0]);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    sigaction(SIGINT, nullptr, &before[1]);
    signal(SIGINT, SIG_IGN);
    sigset_t term, mask;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &mask);
    for (const auto &c : cases) {
        qo_run_options o{};
        o.timeout_ms = c.timeout_ms;
        const Result r = capture(sh(c.script), o);
        EXPECT_EQ(r.status, c.status) << c.script;
        EXPECT_EQ(r.out, c.out) << c.script;
        EXPECT_LT(r.ms, 1000) << c.script;
    }
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    sigaction(SIGCHLD, &before[0], nullptr);
    sigaction(SIGINT, &before[1], nullptr);
    signal(SIGXFSZ, SIG_DFL);
}

// Ends through qo_exit() from another thread once file holds lines pids.
void exit_once_written(const char *file, size_t lines)
{
    std::thread([file, lines] {
        for (int i = 0; i < 1000; ++i, usleep(10000)) {
            const std::string pids = qo_test::read_file(file);
            if (size_t(std::count(pids.begin(), pids.end(), '\n')) >= lines)
                break;
        }
        qo_exit(3, "ended");
    }).detach();
}

// Each stage writes its pid to file, then sleeps.
constexpr const char *write_pid_and_sleep = "echo $$ >>\"$0\"; exec sleep 100";

// Ends through qo_exit() from another thread while a command runs.
[[noreturn]] void exit_while_running(const char *file)
{
    exit_once_written(file, 1);
    const char *const argv[] = {"sh", "-c", write_pid_and_sleep, file, nullptr};
    qo_run(argv, nullptr); // ended by qo_exit(), which then ends the process
    for (;;)
        pause();
}

// Ends through qo_exit() from a callback of the run.
[[noreturn]] void exit_from_callback(const char *file)
{
    qo_run_options o{};
    o.on_output = [](void *, const char *, size_t) -> int { qo_exit(3, "ended"); };
    const char *const argv[] = {
        "sh", "-c", "echo $$ >\"$0\"; echo ready; exec sleep 100", file, nullptr};
    qo_run(argv, &o);
    for (;;)
        pause();
}

// Ends through qo_exit() from another thread while this one starts
// commands one after another, each freed (and so ended) 16 starts later:
// one is starting as the process ends.
[[noreturn]] void exit_while_starting(const char *file)
{
    exit_once_written(file, 3);
    const char *const argv[] = {"sh", "-c", write_pid_and_sleep, file, nullptr};
    qo_job *jobs[16] = {};
    for (unsigned i = 0;; ++i) {
        qo_job_free(jobs[i % 16]);
        jobs[i % 16] = qo_start(argv, nullptr);
    }
}

// A pipeline whose stages lead sessions of their own; a pipeline whose
// second stage moved to a session of its own.
[[noreturn]] void exit_from_stages_apart(const char *file, bool every_stage)
{
    exit_once_written(file, 2);
    const char *const first[] = {"sh", "-c", write_pid_and_sleep, file, nullptr};
    const char *const second[] = {"setsid", "sh",   "-c", write_pid_and_sleep,
                                  file,     nullptr};
    const char *const *const stages[] = {first, second + (every_stage ? 1 : 0),
                                         nullptr};
    qo_run_options o{};
    o.flags = every_stage ? QO_RUN_NEW_SESSION : 0;
    qo_pipeline(stages, &o, nullptr);
    for (;;)
        pause();
}

TEST(RunDeath, FatalExitEndsEveryRunningCommand)
{
    const struct {
        const char *name;
        void (*end)(const char *file);
    } cases[] = {
        {"from another thread", exit_while_running},
        {"from a callback", exit_from_callback},
        {"while another thread starts commands", exit_while_starting},
        {"after more commands than its tables hold have ended",
         [](const char *file) {
             // Held (exits watched) and run alike: each leaves its slots free.
             const char *const argv[] = {"true", nullptr};
             for (int i = 0; i < 150; ++i) {
                 qo_job_free(qo_start(argv, nullptr));
                 qo_run(argv, nullptr);
             }
             exit_while_running(file);
         }},
        {"stages in sessions of their own",
         [](const char *file) { exit_from_stages_apart(file, true); }},
        {"a stage that moved to a session of its own",
         [](const char *file) { exit_from_stages_apart(file, false); }},
    };
    for (const auto &c : cases) {
        ScratchPath pid_file;
        EXPECT_EXIT((alarm(60), c.end(pid_file.c_str())), ExitedWithCode(3), "ended")
            << c.name;
        usleep(100000); // a command started as the process ended writes late
        std::istringstream pids(pid_file.contents());
        for (pid_t pid; pids >> pid;) {
            char state = 'R';
            for (int i = 0; i < 200 && state != 'Z' && state != 'X'; ++i) {
                std::string stat =
                    qo_test::read_file("/proc/" + std::to_string(pid) + "/stat");
                state = stat.empty() ? 'X' : stat[stat.rfind(')') + 2];
                usleep(10000);
            }
            EXPECT_TRUE(state == 'Z' || state == 'X') << c.name << ": " << state;
            kill(pid, SIGKILL); // one left running
        }
    }
}

// A command the program starts once qo_exit() has begun (here in its
// atexit handler) would be left running by the end: it is not started.
TEST(RunDeath, StartAfterFatalExitBeganStartsNothing)
{
    auto end = [] {
        atexit([] {
            const char *const argv[] = {"sleep", "100", nullptr};
            const int status = qo_run(argv, nullptr);
            fprintf(stderr, "after the end: %d %s\n", status, strerror(errno));
        });
        qo_exit(3, "ended");
    };
    EXPECT_EXIT(end(), ExitedWithCode(3), "after the end: -1 Operation canceled");
}

// Ends through qo_exit() from another thread once the run has made the
// new file that QO_RUN_REPLACE renames on success.
[[noreturn]] void exit_while_replacing(const qo_test::ScratchFolder &folder)
{
    std::thread([&folder] {
        for (int i = 0; i < 1000 && folder.entries() < 2; ++i)
            usleep(10000);
        qo_exit(3, "ended");
    }).detach();
    const char *const argv[] = {"sh", "-c", "echo partial; exec sleep 100", nullptr};
    const std::string out = folder / "out";
    qo_run_options o{};
    o.output_file = out.c_str(), o.flags = QO_RUN_REPLACE;
    qo_run(argv, &o);
    for (;;)
        pause();
}

TEST(RunDeath, FatalExitLeavesNoNewFileBehind)
{
    const qo_test::ScratchFolder folder;
    qo_test::write_file(folder / "out", "old\n");
    EXPECT_EXIT(exit_while_replacing(folder), ExitedWithCode(3), "ended");
    EXPECT_EQ(folder.entries(), 1u);
    EXPECT_EQ(qo_test::read_file(folder / "out"), "old\n");
}

// ---- Why, and output files that lose nothing ---------------------------

// Opened without truncating, the file must still lose every old byte once
// the command starts, found from the caller's folder or from dir.
TEST_F(Run, OutputFileWithTextIsEmptiedOnceTheCommandStarts)
{
    ScratchPath out;
    for (const char *dir : {static_cast<const char *>(nullptr), "/"}) {
        qo_test::write_file(out.c_str(), "old text, longer than the new\n");
        const char *const argv[] = {"printf", "new", nullptr};
        qo_run_options o{};
        o.output_file = out.c_str();
        o.dir = dir;
        EXPECT_EQ(qo_run(argv, &o), 0);
        EXPECT_EQ(out.contents(), "new") << (dir ? dir : "no dir");
    }
}

TEST_F(Run, WhySaysWhatKeptTheRunFromStartingAndItsOutputFileLosesNothing)
{
    ScratchPath keep_file, fresh_file, plain_file;
    const std::string kept("kept\n\0\xff", 7), nothing = ": No such file or directory";
    const char *keep = keep_file.c_str(), *fresh = fresh_file.c_str();
    const char *plain = plain_file.c_str(), *none = nullptr,
               *missing = "/no/such/qo/file";
    qo_test::write_file(keep, kept);
    qo_test::write_file(plain, "#!/bin/sh\n"); // not executable
    const unsigned replace = QO_RUN_REPLACE;
    struct Case {
        int error;
        const char *command, *dir, *input_file, *output_file;
        unsigned flags;
        std::string why;
    };
    const Case cases[] = {
        {ENOENT, "no-such-qo-command", none, none, keep, 0,
         "Unable to run no-such-qo-command" + nothing},
        {ENOENT, "true", missing, none, keep, 0,
         "Unable to run true in " + (missing + nothing)},
        {EACCES, plain, none, none, keep, 0,
         "Unable to run " + (plain + ": Permission denied"s)},
        {EACCES, "/", none, none, keep, 0, "Unable to run /: Permission denied"},
        {ENOENT, "true", none, missing, keep, 0,
         "Unable to open " + (missing + nothing)},
        // An output file's folder that is not there is named.
        {ENOENT, "true", none, none, missing, 0,
         "Unable to open /no/such/qo/file: no folder /no/such/qo"},
        {ENOENT, "true", none, none, missing, replace,
         "Unable to replace /no/such/qo/file: no folder /no/such/qo"},
        {ENOENT, "true", none, none, "qo-no-folder/file", replace,
         "Unable to replace qo-no-folder/file: no folder qo-no-folder"},
        {EINVAL, "true", none, none, "/dev/null", replace,
         "Unable to replace /dev/null: not a regular file"},
        {ENOENT, "true", none, none, "/proc/qo-x", replace,
         "Unable to create a temporary file beside /proc/qo-x" + nothing},
        {EINVAL, "true", none, none, keep, replace | QO_RUN_APPEND,
         "QO_RUN_REPLACE with QO_RUN_APPEND: a file replaced whole has nothing to "
         "append to"},
        {EINVAL, "true", none, none, none, replace,
         "QO_RUN_REPLACE without an output_file: nothing to replace"},
        // A file that a run which did not start created goes again.
        {ENOENT, "no-such-qo-command", none, none, fresh, 0,
         "Unable to run no-such-qo-command" + nothing},
        {0, "echo", "/", none, fresh, 0, ""},
    };
    for (const auto &c : cases) {
        qo_run_options o{};
        o.dir = c.dir, o.input_file = c.input_file, o.output_file = c.output_file;
        o.flags = c.flags;
        const Result r = capture({c.command, "new"}, o);
        EXPECT_EQ(r.status, c.error ? -1 : 0) << c.why;
        EXPECT_EQ(r.error, c.error) << c.why;
        EXPECT_EQ(r.why, c.why);
        EXPECT_EQ(keep_file.contents(), kept) << c.why;
        EXPECT_EQ(access(fresh, F_OK) == 0, c.error == 0) << c.why;
    }
    EXPECT_EQ(fresh_file.contents(), "new\n");
}

// ---- Slots, blocks, environment and files ------------------------------

TEST_F(Run, SlotsGetTrimmedTextAndFilesAndEnvironmentAsTheOptionsSay)
{
    ScratchPath in, out, marker;
    qo_test::write_file(in.c_str(), "from file\n");
    setenv("QO_B", "b", 1);
    setenv("QO_C", "c", 1);
    const char *const env[] = {"QO_A=a", "QO_B", nullptr};
    struct Case {
        const char *script;
        const char *const *env;
        const char *input, *input_file, *output_file;
        unsigned flags;
        int status, error;
        const char *want_out, *want_file;
    };
    const char *none = nullptr, *file = out.c_str();
    const Case cases[] = {
        {"echo hi", nullptr, none, none, none, 0, 0, 0, "hi\n", ""},
        {"head -c 70000 /dev/zero | tr '\\0' x", nullptr, none, none, none, 0, 0, 0,
         nullptr, ""},
        {"echo \"$QO_A ${QO_B-unset} $QO_C\"", env, none, none, none, 0, 0, 0,
         "a unset c\n", ""},
        {"cat", nullptr, "text", in.c_str(), none, 0, 0, 0, "from file\n", ""},
        {"echo one", nullptr, none, none, file, 0, 0, 0, "", "one\n"},
        {"echo two", nullptr, none, none, file, QO_RUN_APPEND, 0, 0, "", "one\ntwo\n"},
        {"touch \"$0\"", nullptr, none, "/no/such/qo/file", none, 0, -1, ENOENT, "",
         "one\ntwo\n"},
    };
    for (const auto &c : cases) {
        qo_run_options o{};
        o.env = c.env, o.input = c.input, o.input_file = c.input_file;
        o.output_file = c.output_file, o.flags = c.flags;
        char *text = strdup("held"), *errors = strdup("held");
        o.output = &text, o.errors = &errors;
        const char *const argv[] = {"sh", "-c", c.script, marker.c_str(), nullptr};
        EXPECT_EQ(qo_run(argv, &o), c.status) << c.script;
        EXPECT_EQ(errno, c.error) << c.script;
        const size_t length = strlen(text);
        EXPECT_STREQ(text, c.want_out ? c.want_out : text) << c.script;
        EXPECT_LE(malloc_usable_size(text), length + 1 + (length + 1) / 8 + 32)
            << c.script;
        EXPECT_LE(malloc_usable_size(errors), 32u) << c.script;
        EXPECT_EQ(out.contents(), c.want_file) << c.script;
        free(text);
        free(errors);
    }
    EXPECT_EQ(access(marker.c_str(), F_OK), -1); // the file that failed started nothing
    EXPECT_EQ(getenv("QO_A"), nullptr);
    EXPECT_STREQ(getenv("QO_B"), "b");
    char *held = strdup("held");
    EXPECT_EQ(qo_system_output(&held, "echo new"), 0);
    EXPECT_STREQ(held, "new\n");
    free(held);
}

// ---- Callbacks ----------------------------------------------------------

using Lines = std::vector<std::string>;

// What the line callbacks of a run saw, and when (ms from the start).
struct Seen {
    Lines out, err;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    long first_ms = -1, last_ms = 0;
    size_t stop_at = 0; // lines of either stream, then a stop; 0: never

    long now_ms() const
    {
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count());
    }
    int take(Lines &into, const char *line, size_t size)
    {
        last_ms = now_ms();
        first_ms = first_ms < 0 ? last_ms : first_ms;
        into.emplace_back(line, size);
        return stop_at && out.size() + err.size() >= stop_at;
    }
    void listen(qo_run_options &o)
    {
        o.context = this;
        o.on_output = [](void *seen, const char *line, size_t size) {
            return static_cast<Seen *>(seen)->take(static_cast<Seen *>(seen)->out, line,
                                                   size);
        };
        o.on_errors = [](void *seen, const char *line, size_t size) {
            return static_cast<Seen *>(seen)->take(static_cast<Seen *>(seen)->err, line,
                                                   size);
        };
    }
};

std::string joined(const Lines &lines)
{
    return std::accumulate(lines.begin(), lines.end(), std::string());
}

TEST_F(Run, LineCallbacksGetEachLineAsItIsWrittenAndSlotsEveryByte)
{
    const std::string x64k(QO_RUN_LINE_MAX, 'x');
    const struct {
        const char *script;
        Lines out, err;
    } rows[] = {
        {"printf 'a\\nb\\rc'; printf 'e\\n' >&2", {"a\n", "b\r", "c"}, {"e\n"}},
        {"printf ab; sleep 0.05; printf 'c\\r\\nd'", {"abc\r", "\n", "d"}, {}},
        {"printf 'a\\0b'", {std::string("a\0b", 3)}, {}},
        {"head -c 65535 /dev/zero | tr '\\0' x; echo", {x64k.substr(1) + "\n"}, {}},
        {"head -c 65536 /dev/zero | tr '\\0' x; echo", {x64k, "\n"}, {}},
        {"head -c 140000 /dev/zero | tr '\\0' x >&2",
         {},
         {x64k, x64k, x64k.substr(0, 8928)}},
    };
    for (const auto &row : rows)
        for (const bool slots : {false, true}) {
            SCOPED_TRACE(std::string(row.script) + (slots ? ", into slots" : ""));
            Seen seen;
            qo_run_options o{};
            seen.listen(o);
            o.log_output = 1; // the lines are the callbacks': none is logged
            char *out = nullptr, *err = nullptr;
            size_t sizes[2] = {7, 7};
            if (slots)
                o.output = &out, o.errors = &err;
            o.output_size = &sizes[0], o.errors_size = &sizes[1];
            ScratchPath log;
            qo_log_open(log.c_str(), 1);
            const auto stdio = caller_stdio([&] { capture(sh(row.script), o, false); });
            qo_log_close();
            EXPECT_EQ(seen.out, row.out);
            EXPECT_EQ(seen.err, row.err);
            EXPECT_EQ(stdio.first + stdio.second + log.contents(), "");
            EXPECT_EQ(out ? std::string(out, sizes[0]) : std::to_string(sizes[0]),
                      slots ? joined(row.out) : "0");
            EXPECT_EQ(err ? std::string(err, sizes[1]) : std::to_string(sizes[1]),
                      slots ? joined(row.err) : "0");
            free(out);
            free(err);
        }
    // Any bytes and lines of any length, merged into one slot: the pieces are
    // lines, pieces at the bound or the last one, and make up the text again.
    std::mt19937 rng(26);
    for (const unsigned one_end_in : {8u, 30000u, 200000u}) {
        std::string text(150000 + rng() % 150000, '\0');
        for (char &c : text) // 0 and 14-255 but for the line ends
            c = static_cast<char>(rng() % one_end_in ? rng() % 243 + 14
                                                     : "\n\r"[rng() % 2]);
        // A line one byte over the bound, likely read whole once the pipe grew.
        const std::string over = "\n" + x64k + "\n";
        text.replace(70000, over.size(), over);
        ScratchPath file;
        qo_test::write_file(file.c_str(), text);
        Seen seen;
        qo_run_options o{};
        seen.listen(o);
        char *all = nullptr;
        size_t size = 0;
        o.output = o.errors = &all, o.errors_size = &size;
        EXPECT_EQ(
            capture(sh("cat " + std::string(file.c_str()) + " >&2"), o, false).status,
            0);
        const Lines &pieces = seen.out;
        for (size_t i = 0; i < pieces.size(); ++i) {
            const size_t n = pieces[i].size(), end = pieces[i].find_first_of("\r\n");
            EXPECT_TRUE(
                n > 0 && n <= QO_RUN_LINE_MAX &&
                (end == n - 1 || (end == std::string::npos &&
                                  (n == QO_RUN_LINE_MAX || i + 1 == pieces.size()))))
                << one_end_in << ", piece " << i;
        }
        EXPECT_EQ(joined(pieces), text) << one_end_in;
        EXPECT_EQ(std::string(all, size), text) << one_end_in;
        free(all);
    }
}

// With partial lines, the text of a line not ended yet comes as soon as
// the stream is quiet: dd's report, led by \r, is seen as it is written,
// not a second later when the next one ends its line.
TEST_F(Run, PartialLinesComeOnceTheStreamIsQuiet)
{
    const struct {
        const char *script;
        Lines out;
    } rows[] = {
        {"printf ab; sleep 0.05; printf 'c\\r\\nd'", {"ab", "c\r", "\n", "d"}},
        {"printf 'a\\n'; sleep 0.05; printf '\\rb'; sleep 0.05; printf '\\rc\\n'",
         {"a\n", "\r", "b", "\r", "c\n"}},
    };
    for (const auto &row : rows) {
        Seen seen;
        qo_run_options o{};
        seen.listen(o);
        o.flags = QO_RUN_PARTIAL_LINES;
        capture(sh(row.script), o, false);
        EXPECT_EQ(seen.out, row.out) << row.script;
    }
    // dd reports at about 1 s, and at its end: each seen then.
    struct Reports {
        std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
        std::vector<long> ms; // when each text that starts with a count came
    } reports;
    qo_run_options o{};
    o.context = &reports;
    o.flags = QO_RUN_PARTIAL_LINES;
    const char *const c_locale[] = {"LC_ALL=C", nullptr};
    o.env = c_locale;
    o.on_errors = [](void *context, const char *line, size_t size) {
        auto *seen = static_cast<Reports *>(context);
        if (size > 0 && isdigit(static_cast<unsigned char>(line[0])))
            seen->ms.push_back(
                static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - seen->start)
                                      .count()));
        return 0;
    };
    capture(sh("for i in 1 2; do head -c 100000 /dev/zero; sleep 1; done | "
               "dd of=/dev/null bs=1k status=progress"),
            o, false);
    ASSERT_GE(reports.ms.size(), 2u);
    EXPECT_LT(reports.ms[0], 1400); // a line late, it would come at 2 s
}

TEST_F(Run, CallbackOrDeadlineStopsTheJobWithTheChosenSignal)
{
    const char *ready = "echo ready; exec sleep 60";
    const char *traps = "trap 'echo INT' INT; echo ready; while :; do sleep 0.05; done";
    struct Stop {
        size_t at_line = 0;
        bool by_input = false; // on_input gives -1
        int signal = 0, grace_ms = 0, timeout_ms = 0;
    };
    struct Want { // the times from the stop a callback asked for, else the start
        int status, error;
        long min_ms, max_ms;
        const char *out; // NULL: not checked
    };
    const struct {
        std::vector<std::vector<const char *>> stages;
        Stop stop;
        Want want;
    } rows[] = {
        {{{"sh", "-c", ready}}, {1}, {SIGTERM, ECANCELED, 0, 500, "ready\n"}},
        {{{"sh", "-c", ready}, {"cat"}}, {1}, {SIGTERM, ECANCELED, 0, 500, "ready\n"}},
        {{{"cat"}}, {0, true}, {SIGTERM, ECANCELED, 0, 500, ""}},
        // The script traps SIGINT and goes on: SIGKILL comes after the grace.
        {{{"sh", "-c", traps}},
         {1, false, SIGINT, 200},
         {SIGKILL, ECANCELED, 200, 700, "ready\nINT\n"}},
        {{{"sh", "-c", traps}},
         {0, false, SIGINT, 200, 300},
         {SIGKILL, ETIMEDOUT, 500, 1100, "ready\nINT\n"}},
        // dd writes "\r" and then each second's report: the first line comes at
        // one second, the second at two, with a terabyte still to copy.
        {{{"dd", "if=/dev/zero", "of=/dev/null", "bs=1M", "count=1000000",
           "status=progress"}},
         {2},
         {SIGTERM, ECANCELED, 0, 500, nullptr}},
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.stages[0].back());
        Seen seen;
        seen.stop_at = row.stop.at_line;
        qo_run_options o{};
        seen.listen(o);
        if (row.stop.by_input)
            o.on_input = [](void *seen, char *, size_t) -> ssize_t {
                static_cast<Seen *>(seen)->last_ms =
                    static_cast<Seen *>(seen)->now_ms();
                return -1;
            };
        o.stop_signal = row.stop.signal, o.grace_ms = row.stop.grace_ms;
        o.timeout_ms = row.stop.timeout_ms;
        char *out = nullptr;
        o.output = &out;
        std::vector<const char *const *> stages;
        for (auto &stage : row.stages)
            stage.push_back(nullptr), stages.push_back(stage.data());
        stages.push_back(nullptr);
        const int status = stages.size() == 2 ? qo_run(stages[0], &o)
                                              : qo_pipeline(stages.data(), &o, nullptr);
        const int error = errno;
        const long end_ms = seen.now_ms(),
                   ms = end_ms - (o.timeout_ms ? 0 : seen.last_ms);
        EXPECT_EQ(status, row.want.status);
        EXPECT_EQ(error, row.want.error);
        EXPECT_TRUE(ms >= row.want.min_ms && ms < row.want.max_ms) << ms << " ms";
        EXPECT_STREQ(out, row.want.out ? row.want.out : out);
        if (row.stop.at_line > 1) { // the first line came while the command ran
            EXPECT_GE(end_ms - seen.first_ms, 500) << seen.first_ms << " ms";
        }
        free(out);
    }
    // A stopped run is no success, even one that exits 0: the file it would
    // replace keeps its text.
    ScratchPath file;
    qo_test::write_file(file.c_str(), "old\n");
    qo_run_options o{};
    o.output_file = file.c_str(), o.flags = QO_RUN_REPLACE;
    o.on_errors = [](void *, const char *, size_t) { return 1; };
    const Result r = capture(
        sh("trap 'exit 0' TERM; echo new; echo stop >&2; while :; do sleep 0.05; done"),
        o, false);
    EXPECT_EQ(r.status, SIGTERM);
    EXPECT_EQ(r.error, ECANCELED);
    EXPECT_EQ(file.contents(), "old\n");
}

// Hands out length bytes, at most piece bytes a call, and notes the most
// memory the process held meanwhile.
struct Generator {
    size_t length, piece, given = 0;
    long calls = 0, most_kb = 0;
};

long resident_kb()
{
    const std::string status = qo_test::read_file("/proc/self/status");
    return std::stol(status.substr(status.find("VmRSS:") + 6));
}

ssize_t generate(void *context, char *buffer, size_t room)
{
    auto &g = *static_cast<Generator *>(context);
    const size_t n = std::min({g.piece, room, g.length - g.given});
    memset(buffer, 'a' + static_cast<int>(g.calls % 26), n);
    g.given += n;
    if (g.calls++ % 1024 == 0)
        g.most_kb = std::max(g.most_kb, resident_kb());
    return static_cast<ssize_t>(n);
}

TEST_F(Run, InputCallbackFeedsTheCommandAsItReadsWithMemoryFlat)
{
    // A gigabyte takes seconds under the sanitizers; a quarter of one shows
    // as well that nothing of it is kept.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr size_t big = size_t{1} << 28;
#else
    constexpr size_t big = size_t{1} << 30;
#endif
    std::string slow; // pieces of 4099 bytes, into a pipe that fills: partial writes
    for (size_t call = 0; slow.size() < 300000; ++call)
        slow.append(std::min<size_t>(4099, 300000 - slow.size()), 'a' + call % 26);
    const struct {
        const char *script;
        size_t length, piece;
        std::string out;
        size_t most_given;
    } rows[] = {
        {"wc -c", big, SIZE_MAX, std::to_string(big) + "\n", big},
        {"wc -c", 0, SIZE_MAX, "0\n", 0},
        {"sleep 0.1; cat", 300000, 4099, slow, 300000},
        {"head -c 5", big, SIZE_MAX, "aaaaa", size_t{16} << 20}, // then gone
    };
    for (const auto &row : rows) {
        Generator g{row.length, row.piece};
        qo_run_options o{};
        o.context = &g, o.on_input = generate;
        o.input = "ignored: on_input is the input";
        const long before_kb = resident_kb();
        const Result r = capture(sh(row.script), o);
        EXPECT_EQ(r.status, 0) << row.script;
        EXPECT_EQ(r.out, row.out) << row.script;
        EXPECT_LT(g.most_kb - before_kb, 16 << 10) << row.script;
        EXPECT_LE(g.given, row.most_given) << row.script;
    }
}

TEST_F(Run, EmptiedEnvironmentHoldsOnlyWhatEnvSets)
{
    const char *const path[] = {"A=1", "HOME", "PATH=/usr/bin:/bin", "A=2", nullptr};
    for (const auto *env : {path, static_cast<const char *const *>(nullptr)}) {
        qo_run_options o{};
        o.env = env, o.flags = QO_RUN_CLEAR_ENV;
        const Result r = capture({"env"}, o); // found in the caller's PATH
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, env ? "PATH=/usr/bin:/bin\nA=2\n" : "");
    }
}

TEST_F(Run, CallbackMayLogAndRunACommandOfItsOwn)
{
    ScratchPath log;
    qo_log_open(log.c_str(), 5);
    std::string inner;
    qo_run_options o{};
    o.context = &inner, o.timeout_ms = 10'000;
    o.on_output = [](void *inner, const char *line, size_t size) {
        qo_log(0, "seen %.*s", static_cast<int>(size - 1), line);
        const Result r = capture({"echo", "inner"});
        *static_cast<std::string *>(inner) += std::to_string(r.status) + r.out;
        return 0;
    };
    EXPECT_EQ(capture(sh("echo one; echo two"), o, false).status, 0);
    qo_log_close();
    EXPECT_EQ(inner, "0inner\n0inner\n");
    const std::string entries = log.contents();
    for (const char *entry : {"INFO: seen one\n", "INFO: seen two\n", "echo: exited"})
        EXPECT_NE(entries.find(entry), std::string::npos) << entries;
}

// What a program built against 1.2 passes: the 1.3 fields were its reserved
// room, zeroed. Each test here that zero-initialises its options and sets
// only the older fields runs as such a program does.
struct OptionsOf12 {
    const char *input;
    char **output, **errors;
    int timeout_ms;
    const char *dir;
    int log_output;
    const char *const *env;
    const char *input_file, *output_file;
    unsigned flags;
    void *reserved[8];
};
static_assert(sizeof(OptionsOf12) ==
                  8 * sizeof(void *) + offsetof(qo_run_options, context) &&
              offsetof(OptionsOf12, flags) == offsetof(qo_run_options, flags) &&
              offsetof(OptionsOf12, reserved) == offsetof(qo_run_options, context));

// ---- Large inputs -------------------------------------------------------

// Exits 0 when check() holds of a run with a large input, whether or not
// the log takes the command line. The alarm ends a run that takes the
// input's size squared: a minute for a million groups.
template <typename F> [[noreturn]] void run_large(F check)
{
    alarm(20);
    ScratchPath log;
    bool held = check();
    qo_log_open(log.c_str(), 5);
    held = held && check();
    qo_log_close();
    exit(held ? 0 : 1);
}

// An input is refused before anything grows with it, and one the run takes
// reaches the command whole, however many it holds: groups past
// NGROUPS_MAX, arguments, environment changes, descriptors passed on.
TEST(RunDeath, LargeInputsAreRefusedAtOnceOrReachTheCommandWhole)
{
    const auto too_many_groups = [] {
        std::vector<gid_t> groups(size_t{1} << 20);
        qo_run_options o{};
        o.flags = QO_RUN_USER, o.groups = groups.data(), o.groups_count = groups.size();
        const Result r = capture({"true"}, o);
        return r.status == -1 && r.error == EINVAL &&
               r.why == "Unable to run the command as uid 0, gid 0 and 1048576 groups: "
                        "Invalid argument";
    };
    const auto arguments = [] {
        std::vector<std::string> argv = sh("echo $# $1 ${100000}");
        argv.resize(argv.size() + 100001, "x");
        argv.back() = "last";
        return capture(argv).out == "100000 x last\n";
    };
    // Each V<i> set, the odd ones removed, every fourth set again: what is
    // left keeps the order in which it was last set.
    const auto environment = [] {
        constexpr int n = 4096;
        // Appended, not "V" + ...: g++ 12 at -O3 warns of a memcpy that
        // cannot happen (-Wrestrict) in operator+ of a literal and a string.
        const auto name = [](int i) {
            return std::string(1, 'V').append(std::to_string(i));
        };
        std::vector<std::string> changes;
        for (int i = 0; i < n; ++i)
            changes.push_back(name(i).append("=").append(std::to_string(i)));
        for (int i = 1; i < n; i += 2)
            changes.push_back(name(i));
        for (int i = 0; i < n; i += 4)
            changes.push_back(name(i).append("=again"));
        std::vector<const char *> env;
        for (const std::string &c : changes)
            env.push_back(c.c_str());
        env.push_back(nullptr);
        std::string expected;
        for (int i = 2; i < n; i += 4)
            expected.append(name(i)).append("=").append(std::to_string(i)).append("\n");
        for (int i = 0; i < n; i += 4)
            expected.append(name(i)).append("=again\n");
        qo_run_options o{};
        o.env = env.data(), o.flags = QO_RUN_CLEAR_ENV;
        return capture({"/usr/bin/env"}, o).out == expected;
    };
    // As many as the descriptors allowed, a few kept back for the run.
    const auto passed = [] {
        rlimit most{};
        getrlimit(RLIMIT_NOFILE, &most);
        most.rlim_cur = std::min<rlim_t>(most.rlim_max, 1 << 16);
        setrlimit(RLIMIT_NOFILE, &most);
        std::vector<int> fds;
        for (int fd; fds.size() + 64 < most.rlim_cur && (fd = dup(0)) >= 0;)
            fds.push_back(fd);
        const size_t count = fds.size();
        fds.push_back(-1);
        qo_run_options o{};
        o.pass_fds = fds.data();
        // The shell's own, listed by a child of it alone: a pipeline's
        // pipe would be the shell's too for a while.
        const Result r = capture(sh("ls /proc/$$/fd"), o);
        for (size_t i = 0; i < count; ++i)
            close(fds[i]);
        return size_t(std::count(r.out.begin(), r.out.end(), '\n')) == count + 3;
    };
    EXPECT_EXIT(run_large(too_many_groups), ExitedWithCode(0), "");
    EXPECT_EXIT(run_large(arguments), ExitedWithCode(0), "");
    EXPECT_EXIT(run_large(environment), ExitedWithCode(0), "");
    EXPECT_EXIT(run_large(passed), ExitedWithCode(0), "");
}

// ---- The child as the caller sets it up ----------------------------------

int memfd_with(const char *text)
{
    const int fd = memfd_create("qo-test", MFD_CLOEXEC);
    EXPECT_EQ(write(fd, text, strlen(text)), static_cast<ssize_t>(strlen(text)));
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::string read_from_start(int fd)
{
    char buffer[256];
    const ssize_t n = pread(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

TEST_F(Run, CallersDescriptorsAreItsStreamsAndThosePassedOnTheOnlyOthers)
{
    const int in = memfd_with("from memfd\n"), file = memfd_with("");
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ASSERT_EQ(write(pair[0], "ping\n", 5), 5);
    shutdown(pair[0], SHUT_WR);
    const int nine = dup2(memfd_with("passed\n"), 9), unpassed = dup(in); // not CLOEXEC
    const std::string server =
        "cat <&" + std::to_string(pair[1]) + " >&" + std::to_string(pair[1]);
    const int passed[] = {9, -1}, socket[] = {pair[1], -1};
    struct Row {
        std::vector<std::string> argv;
        unsigned flags;
        const int *pass;
        std::string out; // the slot's text, or "" when a descriptor took it
    } rows[] = {
        {{"cat"}, QO_RUN_INPUT_FD, nullptr, "from memfd\n"},
        {sh("echo out; echo err >&2"), QO_RUN_OUTPUT_FD | QO_RUN_ERRORS_FD, nullptr,
         ""},
        {sh("cat <&9; ls /proc/$$/fd"), 0, passed, "passed\n0\n1\n2\n9\n"},
        {sh(server), 0, socket, ""},
    };
    for (const Row &row : rows) {
        qo_run_options o{};
        o.flags = row.flags, o.pass_fds = row.pass;
        o.input_fd = in, o.output_fd = o.errors_fd = file;
        o.input = "text loses to input_fd", o.output_file = "/no/such/folder/f";
        if (!(row.flags & QO_RUN_OUTPUT_FD))
            o.output_file = nullptr;
        const Result r = capture(row.argv, o);
        EXPECT_EQ(r.status, 0) << row.argv.back() << r.why;
        EXPECT_EQ(r.out + r.err, row.out) << row.argv.back();
    }
    EXPECT_EQ(read_from_start(file), "out\nerr\n");
    char echoed[8] = {};
    EXPECT_EQ(read(pair[0], echoed, sizeof echoed), 5);
    EXPECT_STREQ(echoed, "ping\n");
    // Never closed nor moved: still open, still close-on-exec.
    EXPECT_EQ(fcntl(in, F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(fcntl(nine, F_GETFD), 0);
    for (int fd : {in, file, nine, unpassed, pair[0], pair[1]})
        close(fd);
    // A descriptor that is not open, or one of 0-2 to pass on, starts
    // nothing.
    ScratchPath made;
    const int closed[] = {in, -1}, stdio[] = {1, -1};
    const std::string stdio_why = "its 0-2 are its stdin, stdout and stderr";
    for (const auto &[flags, pass, error, why] :
         {std::tuple{QO_RUN_INPUT_FD, closed + 1, EBADF,
                     "give descriptor " + std::to_string(in) +
                         " to the command as its stdin: Bad file descriptor"},
          std::tuple{0u, closed, EBADF,
                     "pass descriptor " + std::to_string(in) +
                         " to the command: Bad file descriptor"},
          std::tuple{0u, stdio, EINVAL,
                     "pass descriptor 1 to the command: " + stdio_why}}) {
        qo_run_options o{};
        o.flags = flags, o.input_fd = in, o.pass_fds = pass;
        const Result r = capture({"touch", made.c_str()}, o);
        EXPECT_EQ(r.status, -1);
        EXPECT_EQ(r.error, error);
        EXPECT_EQ(r.why, "Unable to " + why);
        EXPECT_FALSE(std::filesystem::exists(made.c_str()));
    }
}

std::string trimmed_words(std::string text)
{
    text = std::regex_replace(text, std::regex("[ \t]+"), " ");
    return std::regex_replace(text, std::regex("(^|\n) "), "$1");
}

TEST_F(Run, ChildSetupTakesEffectInTheCommand)
{
    qo_test::ScratchFolder folder;
    const std::string dir = folder / ".";
    const int niceness = std::min(getpriority(PRIO_PROCESS, 0) + 10, 19);
    const qo_rlimit limits[] = {
        {RLIMIT_CORE, 0, 0}, {RLIMIT_NOFILE, 64, 128}, {-1, 0, 0}};
    struct Row {
        std::string script;
        std::function<void(qo_run_options &)> set;
        std::string out;
    } rows[] = {
        {"ps -o sid= -p $$; echo $$", [](auto &o) { o.flags = QO_RUN_NEW_SESSION; },
         ""},
        {"touch f && stat -c %A f",
         [](auto &o) { o.flags = QO_RUN_UMASK, o.umask = 077; }, "-rw-------\n"},
        {"ps -o ni= -p $$", [](auto &o) { o.nice = 10; },
         std::to_string(niceness) + "\n"},
        {"ulimit -c; ulimit -Sn; ulimit -Hn", [&](auto &o) { o.limits = limits; },
         "0\n64\n128\n"},
    };
    for (Row &row : rows) {
        qo_run_options o{};
        row.set(o);
        o.dir = dir.c_str();
        const Result r = capture(sh(row.script), o);
        EXPECT_EQ(r.status, 0) << row.script << r.why << r.err;
        if (!row.out.empty()) {
            EXPECT_EQ(trimmed_words(r.out), row.out) << row.script;
            continue;
        }
        // A session of its own, which the command leads.
        long sid = 0, pid = -1;
        EXPECT_EQ(sscanf(r.out.c_str(), "%ld %ld", &sid, &pid), 2) << r.out;
        EXPECT_EQ(sid, pid);
        EXPECT_NE(sid, getsid(0));
    }
    // What no one may ask for.
    const qo_rlimit unknown[] = {{99, 0, 0}, {-1, 0, 0}},
                    upside_down[] = {{RLIMIT_CORE, 2, 1}, {-1, 0, 0}};
    for (const qo_rlimit *set : {unknown, upside_down}) {
        qo_run_options o{};
        o.limits = set;
        const Result r = capture({"true"}, o);
        EXPECT_EQ(r.status, -1);
        EXPECT_EQ(r.error, EINVAL) << r.why;
    }
}

// A hard limit past what the kernel takes at all (fs.nr_open for
// RLIMIT_NOFILE): refused before anything starts where raising it takes a
// privilege the caller lacks, else by the kernel in the command's process,
// which never runs.
TEST_F(Run, LimitTheKernelRefusesStartsNothing)
{
    const auto most = std::stoull(qo_test::read_file("/proc/sys/fs/nr_open"));
    const qo_rlimit past[] = {{RLIMIT_NOFILE, 64, most + 1}, {-1, 0, 0}};
    const std::string status = qo_test::read_file("/proc/self/status");
    const size_t caps = status.find("CapEff:");
    ASSERT_NE(caps, std::string::npos);
    const bool may_raise = std::stoull(status.substr(caps + 7), nullptr, 16) >> 24 & 1;
    ScratchPath made;
    qo_run_options o{};
    o.limits = past;
    const Result r = capture({"touch", made.c_str()}, o);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.error, EPERM);
    const std::string by_kernel = "Unable to run touch: Operation not permitted",
                      by_check = "Unable to set RLIMIT_NOFILE to 64 soft, " +
                                 std::to_string(most + 1) +
                                 " hard for the command: Operation not permitted";
    EXPECT_EQ(r.why, may_raise ? by_kernel : by_check); // CAP_SYS_RESOURCE: bit 24
    EXPECT_FALSE(std::filesystem::exists(made.c_str()));
}

// Exits 0 when, dropped to uid 65534, each setting it may not have is
// refused with EPERM and a why before anything runs (the output file, which
// the command's start would empty, keeps its text), and its own ids, the
// saved one too, are not refused. The saved uid 0 gives back no capability
// until it is taken again, which the process does only to exit, so that
// what exit() writes (a coverage build's counts) lands in root's files.
[[noreturn]] void run_unprivileged()
{
    alarm(60);
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 0) != 0)
        exit(2);
    ScratchPath made, kept;
    qo_test::write_file(kept.c_str(), "kept");
    const gid_t root_group[] = {0};
    const qo_rlimit raised[] = {{RLIMIT_NOFILE, 1, RLIM_INFINITY}, {-1, 0, 0}};
    const std::function<void(qo_run_options &)> refused[] = {
        [](auto &o) { o.flags = QO_RUN_USER, o.uid = 1, o.gid = 65534; },
        [](auto &o) { o.flags = QO_RUN_USER, o.uid = 65534, o.gid = 0; },
        [&](auto &o) {
            o.flags = QO_RUN_USER, o.uid = o.gid = 65534;
            o.groups = root_group, o.groups_count = 1;
        },
        [](auto &o) { o.nice = -5; },
        [&](auto &o) { o.limits = raised; },
    };
    int row = 10;
    for (const auto &set : refused) {
        qo_run_options o{};
        set(o);
        o.output_file = kept.c_str();
        const Result r = capture({"touch", made.c_str()}, o);
        if (r.status != -1 || r.error != EPERM ||
            !r.why.ends_with(": Operation not permitted") ||
            std::filesystem::exists(made.c_str()) || kept.contents() != "kept")
            exit(row);
        ++row;
    }
    qo_run_options own{};
    own.flags = QO_RUN_USER, own.uid = own.gid = 65534;
    qo_run_options saved = own;
    saved.uid = 0;
    const bool ran = capture({"id", "-u"}, own).out == "65534\n" &&
                     capture({"id", "-u"}, saved).out == "0\n";
    exit(seteuid(0) == 0 && ran ? 0 : 1);
}

TEST_F(Run, RootRunsTheCommandAsAnotherUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run as uid 65534";
    const gid_t groups[] = {100, 65534};
    qo_run_options o{};
    o.flags = QO_RUN_USER, o.uid = o.gid = 65534;
    o.groups = groups, o.groups_count = 2;
    EXPECT_EQ(capture(sh("id -u; id -g; id -G")).out, "0\n0\n0\n");
    EXPECT_EQ(capture(sh("id -u; id -g; id -G"), o).out, "65534\n65534\n65534 100\n");
}

TEST(RunDeath, SettingNotPermittedStartsNothing)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to drop to uid 65534";
    EXPECT_EXIT(run_unprivileged(), ExitedWithCode(0), "");
}

// The line keeps the command a command: a reserved word quoted where a
// command starts, "--" before a word env or a wrapper would take for an
// option, and the changes of the environment as the run applies them, in
// order (env removes before it sets).
TEST_F(Run, LoggedLineStartsTheCommandItRan)
{
    const char *const set_then_unset[] = {"A=1", "B", "A", "B=2", nullptr};
    const char *const unset[] = {"A", nullptr}, *const dashed[] = {"-x=1", nullptr};
    const std::tuple<const char *, const char *const *, unsigned, std::string> rows[] =
        {
            {"if", nullptr, 0, "'if'"},
            {"done", nullptr, 0, "'done'"},
            {"true", set_then_unset, 0, "env -u A B=2 true"},
            {"true", set_then_unset, QO_RUN_CLEAR_ENV, "env -i B=2 true"},
            {"-x", unset, 0, "env -u A -- -x"},
            {"-x", nullptr, QO_RUN_NEW_SESSION, "setsid -- -x"},
            {"true", dashed, 0, "env -- -x=1 true"},
        };
    for (const auto &[command, env, flags, line] : rows) {
        qo_run_options o{};
        o.env = env;
        o.flags = flags;
        const char *const argv[] = {command, nullptr};
        ScratchPath log;
        qo_log_open(log.c_str(), 5);
        qo_run(argv, &o);
        qo_log_close();
        const std::string entry = log.contents();
        const size_t start = entry.find(": ", entry.find('#')) + 2;
        const std::string text = entry.substr(start, entry.find('\n', start) - start);
        EXPECT_EQ(text.substr(0, text.find(" # pid")), line) << command;
    }
}

TEST_F(Run, LoggedLineGivesEachSettingAsItsShellEquivalent)
{
    const int in = memfd_with(""), out = memfd_with("");
    const int passed[] = {in, -1};
    const gid_t groups[] = {1, 2};
    const qo_rlimit limits[] = {{RLIMIT_CORE, 0, 0},
                                {RLIMIT_NOFILE, 64, 128},
                                {RLIMIT_NPROC, 1000, 2000},
                                {RLIMIT_FSIZE, 1000, RLIM_INFINITY},
                                {RLIMIT_STACK, 8 << 20, RLIM_INFINITY},
                                {-1, 0, 0}};
    const std::string i = std::to_string(in), o = std::to_string(out);
    const char *const tee[] = {"tee", nullptr}, *const cat[] = {"cat", nullptr};
    const char *const *const stages[] = {tee, cat, nullptr};
    const std::pair<std::function<void(qo_run_options &)>, std::string> rows[] = {
        {[&](auto &o) {
             o.flags = QO_RUN_UMASK | QO_RUN_NEW_SESSION | QO_RUN_USER, o.umask = 077;
             o.limits = limits, o.nice = 10, o.uid = o.gid = 65534;
             o.groups = groups, o.groups_count = 2;
         },
         "umask 077 && ulimit -c 0 && ulimit -S -n 64 && ulimit -H -n 128 && ulimit -S "
         "-s 8192 && ulimit -H -s unlimited && setsid prlimit --nproc=1000:2000 "
         "--fsize=1000:unlimited nice -n 10 setpriv --reuid=65534 --regid=65534 "
         "--groups=1,2 cat"},
        {[&](auto &o) {
             o.flags = QO_RUN_INPUT_FD | QO_RUN_OUTPUT_FD | QO_RUN_ERRORS_FD;
             o.input_fd = in, o.output_fd = o.errors_fd = out, o.pass_fds = passed;
             o.input_file = o.output_file = "/no/such/file";
         },
         "cat <&" + i + " >&" + o + " 2>&1 " + i + "<&" + i},
        {[](auto &o) {
             o.flags = QO_RUN_UMASK | QO_RUN_USER, o.umask = 022, o.dir = "/";
             o.output_file = "/dev/null";
         },
         "(cd / && umask 022 && setpriv --reuid=0 --regid=0 --clear-groups cat) "
         ">/dev/null"},
        {[&](auto &o) {
             o.flags = QO_RUN_OUTPUT_FD | QO_RUN_ERRORS_FD;
             o.output_fd = out, o.errors_fd = in;
         },
         "tee 2>&" + i + " | cat >&" + o + " 2>&" + i},
    };
    for (const auto &[set, line] : rows) {
        qo_run_options options{};
        set(options);
        ScratchPath log;
        qo_log_open(log.c_str(), 5);
        if (line.starts_with("tee"))
            qo_pipeline(stages, &options, nullptr);
        else
            qo_run(cat, &options);
        qo_log_close();
        const std::string entry = log.contents();
        const size_t start = entry.find(": ", entry.find('#')) + 2;
        EXPECT_EQ(entry.substr(start, entry.find(" # pid") - start), line);
    }
    close(in);
    close(out);
}

#ifdef QO_SHARED_LIBRARY
// What a program built against 1.1 passed: the options up to log_output.
struct OptionsOf11 {
    const char *input;
    char **output, **errors;
    int timeout_ms;
    const char *dir;
    int log_output;
};

TEST_F(Run, ProgramBuiltAgainstOneOneRunsAgainstTheSharedLibrary)
{
    void *lib = dlopen(QO_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    using Run11 = int (*)(const char *const *, const OptionsOf11 *, int, const char *);
    auto run11 = reinterpret_cast<Run11>(dlvsym(lib, "qo_run_int", "QO_1.0"));
    ASSERT_NE(run11, nullptr);
    char *out = nullptr;
    const OptionsOf11 o{"in", &out, nullptr, 0, "/", 0};
    const char *const argv[] = {"sh", "-c", "cat; pwd", nullptr};
    EXPECT_EQ(run11(argv, &o, __LINE__, __FILE__), 0);
    EXPECT_STREQ(out, "in/\n");
    free(out);
    dlclose(lib);
}
#endif

} // namespace
