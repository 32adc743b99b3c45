// The log and the fatal exit across the ends of a process: fork, exit,
// signals, pipes. Each case runs in a child that an alarm ends, so that a
// hang fails the test instead of stalling it.
#include "qo.h"
#include "support.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>

namespace {

using qo_test::ScratchPath;
using testing::Eq;
using testing::ExitedWithCode;
using testing::StartsWith;

constexpr unsigned limit = 10; // seconds before a child is deemed hung
// Not a std::string: threads go on logging while exit() runs destructors.
constexpr const char *payload =
    "pppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp"
    "pppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp";

// Longer than the log's buffer, so written straight through, across pages.
char long_payload[3 * 8192 + 1];

void log_until(const std::atomic<bool> &done, const char *text)
{
    for (int i = 0; !done; i++)
        qo_log_int(1, i, "f", "r", "e%d %s", i, text);
}

size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + 1))
        n++;
    return n;
}

// Every line is an entry of log_until(), whole.
void expect_whole_entries(const std::string &text)
{
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        int line_no = -1, e = -2, end = 0;
        sscanf(line.c_str(), "DBG1: f->r#%d: e%d %n", &line_no, &e, &end);
        const std::string rest = line.substr(size_t(end));
        ASSERT_TRUE(line_no == e && (rest == payload || rest == long_payload))
            << line.substr(0, 200) << "... (" << line.size() << " bytes)";
    }
}

struct Fifo : ScratchPath {
    Fifo() { mkfifo(c_str(), 0600); }
};

// The FIFO's read end, which nobody reads until a test drains it.
int stuck_reader = -1;

// A thread whose entry outgrows a pipe nobody drains holds the log's lock
// for good; then() has to go on without it.
void beside_a_stuck_writer(const Fifo &fifo, void (*then)())
{
    alarm(limit);
    stuck_reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    qo_log_open(fifo.c_str(), 1);
    std::thread([] {
        qo_log_int(1, 1, "f", "r", "%s", std::string(1 << 20, 'x').c_str());
    }).detach();
    usleep(100000);
    then();
}

// The first child is forked with an entry buffered, the others while
// another thread is inside an entry.
TEST(LogFork, ChildrenLogAndExitAndNothingIsWrittenTwice)
{
    ScratchPath log;
    EXPECT_EXIT(
        {
            alarm(3 * limit); // a fork is slow under ThreadSanitizer
            qo_log_open(log.c_str(), 1);
            qo_log_int(1, 0, "parent", "r", "buffered");
            std::atomic<bool> done{false};
            std::thread writer;
            for (int i = 0; i < 5; i++) {
                if (i == 1)
                    writer = std::thread(log_until, std::cref(done), payload);
                if (fork() == 0) {
                    alarm(limit);
                    qo_log_int(1, 0, "child", "r", "alive");
                    qo_exit(0, nullptr);
                }
                int status = -1;
                if (wait(&status) < 0 || status != 0)
                    _exit(1);
            }
            done = true;
            writer.join();
            exit(0);
        },
        ExitedWithCode(0), "");
    const std::string text = log.contents();
    EXPECT_EQ(count(text, "DBG1: parent->r#0: buffered\n"), 1U);
    EXPECT_EQ(count(text, "DBG1: child->r#0: alive\n"), 5U);
}

TEST(LogExit, EntriesStayWholeWhenTheProcessEndsWhileThreadsLog)
{
    const struct {
        const char *name;
        void (*end)();
    } endings[] = {{"exit", [] { exit(0); }}, {"qo_exit", [] { qo_exit(0, nullptr); }}};
    memset(long_payload, 'q', sizeof long_payload - 1);
    for (const auto &ending : endings)
        for (int run = 0; run < 5; run++) {
            SCOPED_TRACE(ending.name);
            ScratchPath log;
            EXPECT_EXIT(
                {
                    alarm(limit);
                    qo_log_open(log.c_str(), 1);
                    std::atomic<bool> done{false};
                    for (int t = 0; t < 2; t++)
                        std::thread(log_until, std::cref(done), payload).detach();
                    std::thread(log_until, std::cref(done), long_payload).detach();
                    usleep(20000);
                    ending.end();
                },
                ExitedWithCode(0), "");
            expect_whole_entries(log.contents());
        }
}

TEST(LogExit, LostEntriesAreReportedOnceWithThePath)
{
    for (const int entries : {10, 10000})
        EXPECT_EXIT(
            {
                qo_log_open("/dev/full", 1);
                for (int i = 0; i < entries; i++)
                    qo_log_int(1, i, "f", "r", "%s", payload);
                exit(0);
            },
            ExitedWithCode(0), Eq("Unable to print to /dev/full\n"));
}

TEST(LogExit, FlushOnKeepsTheLastWordsBeforeACrash)
{
    for (const int sig : {SIGABRT, SIGKILL}) {
        ScratchPath log;
        EXPECT_EXIT(
            {
                qo_log_flush_on(1);
                qo_log_open(log.c_str(), 2);
                qo_log_int(2, 1, "f", "r", "buffered");
                qo_log_int(1, 2, "f", "r", "last words");
                qo_log_int(2, 3, "f", "r", "buffered, lost");
                raise(sig);
            },
            testing::KilledBySignal(sig), "");
        EXPECT_EQ(log.contents(), "DBG2: f->r#1: buffered\nDBG1: f->r#2: last words\n");
    }
}

TEST(LogSignalsAndPipes, ReaderGoneTurnsTheLogOffWithOneLine)
{
    const struct {
        int flush_on, entries;
    } cases[] = {
        {INT_MIN, 1000}, {1, 1}, {INT_MIN, 1}}; // buffer full, per entry, at exit
    for (const auto &c : cases) {
        Fifo fifo;
        EXPECT_EXIT(
            {
                alarm(limit);
                const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
                qo_log_flush_on(c.flush_on);
                qo_log_open(fifo.c_str(), 1);
                close(reader);
                for (int i = 0; i < c.entries; i++)
                    qo_log_int(1, i, "f", "r", "%s", payload);
                exit(0);
            },
            ExitedWithCode(0),
            Eq(std::string("Unable to print to ") + fifo.c_str() + "\n"));
    }
}

void ignore(int) {}

// The reader asks for the next block with a signal, which interrupts the
// writer in the middle of its writes.
TEST(LogSignalsAndPipes, InterruptedWritesToASlowReaderLoseNothing)
{
    Fifo fifo;
    ScratchPath copy;
    constexpr int entries = 10000;
    EXPECT_EXIT(
        {
            alarm(limit);
            struct sigaction interrupt = {};
            interrupt.sa_handler = ignore; // no SA_RESTART
            sigaction(SIGUSR1, &interrupt, nullptr);
            if (fork() == 0) {
                alarm(limit);
                const int in = open(fifo.c_str(), O_RDONLY);
                const int out = open(copy.c_str(), O_WRONLY | O_CREAT, 0600);
                char block[1024];
                for (ssize_t n; (n = read(in, block, sizeof block)) != 0; usleep(20))
                    if (n > 0 && write(out, block, size_t(n)) == n)
                        kill(getppid(), SIGUSR1);
                _exit(0);
            }
            qo_log_open(fifo.c_str(), 1);
            for (int i = 0; i < entries; i++)
                qo_log_int(1, i, "f", "r", "e%d %s", i, payload);
            qo_log_close();
            wait(nullptr);
            exit(0);
        },
        ExitedWithCode(0), "");
    const std::string arrived = copy.contents();
    expect_whole_entries(arrived);
    EXPECT_EQ(std::count(arrived.begin(), arrived.end(), '\n'), entries);
}

TEST(LogSignalsAndPipes, AFileSizeLimitIsReportedLikeAFullDisk)
{
    ScratchPath log;
    EXPECT_EXIT(
        {
            rlimit size{};
            size.rlim_cur = size.rlim_max = 4096;
            setrlimit(RLIMIT_FSIZE, &size);
            qo_log_open(log.c_str(), 1);
            for (int i = 0; i < 200; i++)
                qo_log_int(1, i, "f", "r", "%s", payload);
            // The log met the limit above, many times over. A coverage
            // build writes its own counters at exit, past the limit too,
            // and would die of SIGXFSZ without a word from the log.
            signal(SIGXFSZ, SIG_IGN);
            exit(0);
        },
        ExitedWithCode(0),
        StartsWith(std::string("Unable to print to ") + log.c_str() + "\n"));
    EXPECT_EQ(log.contents().size(), 4096U);
}

// Each of these waits 2 seconds for a stuck writer, then goes on.
TEST(LogSignalsAndPipes, ForkAndTheFlushBeforeACommandWaitForAStuckWriterAWhileOnly)
{
    const struct {
        const char *name;
        void (*wait)();
    } cases[] = {{"fork",
                  [] {
                      const pid_t child = fork();
                      if (child == 0)
                          _exit(0);
                      waitpid(child, nullptr, 0);
                  }},
                 {"qo_system", [] { qo_system("true"); }}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Fifo fifo;
        EXPECT_EXIT(
            {
                beside_a_stuck_writer(fifo, c.wait);
                exit(0);
            },
            ExitedWithCode(0), Eq(""));
    }
}

double seconds_since(const timespec &start)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - start.tv_sec) +
           double(now.tv_nsec - start.tv_nsec) / 1e9;
}

// What run_then_drain() runs, and the longest it may take.
struct StuckRun {
    const char *script;
    int timeout_ms, grace_ms;
    double max_s;
} stuck_run;
const char *drained_to = nullptr;

// A run at level 5 beside the stuck writer, then one more entry while the
// FIFO is drained into drained_to. Exits 1 when the run took too long.
void run_then_drain()
{
    qo_log_set_level(5);
    qo_run_options o{};
    o.timeout_ms = stuck_run.timeout_ms;
    o.grace_ms = stuck_run.grace_ms;
    const char *const argv[] = {"sh", "-c", stuck_run.script, nullptr};
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    qo_run(argv, &o);
    if (seconds_since(start) >= stuck_run.max_s)
        _exit(1);
    fcntl(stuck_reader, F_SETFL, 0);
    std::string drained;
    std::thread drain([&] {
        char block[1 << 16];
        for (ssize_t n; (n = read(stuck_reader, block, sizeof block)) > 0;)
            drained.append(block, size_t(n));
    });
    qo_log_int(1, 2, "f", "r", "moving");
    qo_log_close();
    drain.join();
    qo_test::write_file(drained_to, drained);
    exit(0);
}

// The run's entries (its command line, its outcome) give up on the stuck
// log, with or without a deadline, and the next entry that gets through
// once the FIFO moves says how many were dropped. With a deadline, the
// entries, the flush and the command share it: the run ends by the
// deadline and the grace.
TEST(LogSignalsAndPipes, ARunGivesUpOnAStuckLogAndTheDropIsLoggedOnceItMoves)
{
    const StuckRun rows[] = {
        {"true", 0, 0, 3},
        {"true", 300, 0, 3},
        {"sleep 5", 500, 100, 0.7},
        {"trap 'sleep 5' TERM; sleep 5", 500, 0, 1.7},
    };
    for (const StuckRun &row : rows) {
        Fifo fifo;
        ScratchPath copy;
        stuck_run = row;
        drained_to = copy.c_str();
        EXPECT_EXIT(beside_a_stuck_writer(fifo, run_then_drain), ExitedWithCode(0),
                    Eq(""))
            << row.script << ", " << row.timeout_ms << " ms";
        EXPECT_THAT(
            copy.contents(),
            testing::EndsWith("x\nINFO: qo: 2 log entries dropped while the log "
                              "was blocked\nDBG1: f->r#2: moving\n"));
    }
}

TEST(LogOpening, AnOpenThatBlocksHoldsUpOnlyItsCaller)
{
    ScratchPath log;
    Fifo fifo;
    EXPECT_EXIT(
        {
            alarm(limit);
            qo_log_open(log.c_str(), 1);
            std::thread opener([&] { qo_log_open(fifo.c_str(), 1); });
            usleep(100000); // the opener now waits for a reader
            qo_log_int(1, 1, "f", "r", "not held up");
            open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
            opener.join();
            exit(0);
        },
        ExitedWithCode(0), "");
    EXPECT_EQ(log.contents(), "DBG1: f->r#1: not held up\n");
}

void slow_hook(int status, const char *)
{
    fprintf(stderr, "hook %d starts\n", status);
    std::thread([] { qo_exit(2, "second"); }).detach();
    usleep(200000);
    fprintf(stderr, "hook %d ends\n", status);
}

TEST(FatalExit, AnotherThreadWaitsForTheFirstToEnd)
{
    EXPECT_EXIT(
        {
            alarm(limit);
            qo_exit_hook = slow_hook;
            qo_exit(1, "first");
        },
        ExitedWithCode(1), Eq("hook 1 starts\nhook 1 ends\nfirst\n"));
}

// The child ends through qo_exit() too; the parent says how it ended.
void fork_a_child_that_ends() noexcept
{
    const pid_t child = fork();
    if (child == 0) {
        alarm(limit);
        qo_exit(5, "child");
    }
    int status = -1;
    waitpid(child, &status, 0);
    fprintf(stderr, "child status %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

std::atomic<int> hook_stage{0};

void hook_that_waits_for_main(int, const char *)
{
    fputs("hook\n", stderr);
    hook_stage = 1;
    while (hook_stage != 2)
        usleep(1000);
}

// A child forked while its parent is in qo_exit() ends on its own, without
// the parent's hook, whether the thread that forks is the one ending the
// parent (its hook forks) or another one.
TEST(FatalExit, AChildForkedWhileTheParentEndsEndsOnItsOwn)
{
    const struct {
        const char *name;
        void (*body)();
    } cases[] = {
        {"the hook forks",
         [] {
             qo_exit_hook = [](int, const char *) {
                 fputs("hook\n", stderr);
                 fork_a_child_that_ends();
             };
             qo_exit(1, "parent");
         }},
        {"another thread forks",
         [] {
             qo_exit_hook = hook_that_waits_for_main;
             std::thread([] { qo_exit(1, "parent"); }).detach();
             while (hook_stage != 1)
                 usleep(1000);
             fork_a_child_that_ends();
             hook_stage = 2;
             for (;;)
                 pause();
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                alarm(limit);
                c.body();
            },
            ExitedWithCode(1),
            testing::ResultOf(qo_test::without_sanitizer_notes,
                              Eq("hook\nchild\nchild status 5\nparent\n")));
    }
}

// Each waits 2 seconds for the stuck writer, once: the fatal failure's
// entry, or the first stage of the end. The entry is counted, and the
// count told of at the end.
TEST(FatalExit, EndsBesideAThreadStuckWritingTheLog)
{
    const struct {
        void (*end)();
        int status;
        const char *err;
    } cases[] = {
        {[] { qo_exit(3, nullptr); }, 3, ""},
        {[] { exit(3); }, 3, ""},
        {[] { free(qo_shell_quote(nullptr)); }, 255,
         "qo_shell_quote: NULL input\n"
         "qo: 1 log entries dropped while the log was blocked\n"},
    };
    for (const auto &c : cases) {
        Fifo fifo;
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        EXPECT_EXIT(beside_a_stuck_writer(fifo, c.end), ExitedWithCode(c.status),
                    Eq(c.err));
        // 2 s, and ThreadSanitizer's 1 s at exit
        EXPECT_LT(seconds_since(start), 4) << c.err;
    }
}

// Nobody stuck, but the pipe full: the end waits 2 seconds for it to take
// the entries, then tells of their loss.
TEST(FatalExit, EndsBesideAFullPipeThatNobodyReads)
{
    Fifo fifo;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    EXPECT_EXIT(
        {
            alarm(limit);
            open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
            const int filler = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            while (write(filler, payload, strlen(payload)) > 0) {
            }
            qo_log_open(fifo.c_str(), 1);
            qo_log_int(1, 1, "f", "r", "buffered");
            free(qo_shell_quote(nullptr));
        },
        ExitedWithCode(255),
        Eq(std::string("qo_shell_quote: NULL input\nUnable to print to ") +
           fifo.c_str() + "\n"));
    EXPECT_LT(seconds_since(start), 4); // as above
}

// The entry outgrows the pipe nobody drains: the write, and the lock with
// it, is held when the signal comes. A failure in the handler drops its
// own entry at once, as the lock will not come.
TEST(FatalExit, EndsFromAHandlerThatInterruptedAnEntry)
{
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "exit() runs this program's destructors in the handler, which "
                    "ThreadSanitizer reports";
#endif
    const struct {
        void (*handler)(int);
        int status;
        const char *err;
    } cases[] = {
        {[](int) { qo_exit(4, "interrupted"); }, 4, "interrupted\n"},
        {[](int) { free(qo_shell_quote(nullptr)); }, 255,
         "qo_shell_quote: NULL input\n"
         "qo: 1 log entries dropped while the log was blocked\n"},
    };
    for (const auto &c : cases) {
        Fifo fifo;
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        EXPECT_EXIT(
            {
                alarm(limit);
                struct sigaction end = {};
                end.sa_handler = c.handler;
                sigaction(SIGUSR1, &end, nullptr);
                open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
                qo_log_open(fifo.c_str(), 1);
                const pthread_t self = pthread_self();
                std::thread([self] {
                    usleep(100000);
                    pthread_kill(self, SIGUSR1);
                }).detach();
                qo_log_int(1, 1, "f", "r", "%s", std::string(1 << 20, 'x').c_str());
            },
            ExitedWithCode(c.status), Eq(c.err));
        EXPECT_LT(seconds_since(start), 1.5) << c.err; // a stall is 2 s
    }
}

// Entries 0 to n - 1 of a loop, each whole, none missing.
void expect_a_run_of_entries(const std::string &text)
{
    std::istringstream in(text);
    int expected = 0;
    for (std::string line; std::getline(in, line); expected++)
        ASSERT_EQ(line, "DBG1: f->r#" + std::to_string(expected) + ": e") << expected;
}

// The signal lands anywhere in an entry of the thread it interrupts, the
// lock's own steps included: the end comes at once and keeps every entry
// before the interrupted one.
TEST(FatalExit, EndsAtOnceFromAHandlerWhereverItInterruptsAnEntry)
{
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "exit() runs this program's destructors in the handler, which "
                    "ThreadSanitizer reports";
#endif
    struct sigaction end = {}, old = {};
    end.sa_handler = [](int) { qo_exit(4, nullptr); };
    for (int run = 0; run < 100; run++) {
        ScratchPath log;
        sigaction(SIGUSR1, &end, &old); // the child's from its start
        const pid_t child = fork();
        if (child > 0)
            sigaction(SIGUSR1, &old, nullptr);
        if (child == 0) {
            alarm(limit);
            qo_log_open(log.c_str(), 1);
            for (int i = 0;; i++)
                qo_log_int(1, i, "f", "r", "e");
        }
        usleep(useconds_t(1000 + run * 97 % 2000));
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        kill(child, SIGUSR1);
        int status = -1;
        waitpid(child, &status, 0);
        ASSERT_LT(seconds_since(start), 1.5) << "run " << run; // a stall is 2 s
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4) << status;
        expect_a_run_of_entries(log.contents());
        if (HasFatalFailure())
            return;
    }
}

// A handler that lands inside fork() of a threaded program, where the C
// library holds the lock that exit() needs: the end still comes, with the
// status, every time.
TEST(FatalExit, EndsWithItsStatusFromAHandlerThatInterruptsAFork)
{
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "exit() runs this program's destructors in the handler, which "
                    "ThreadSanitizer reports";
#endif
    struct sigaction end = {}, old = {};
    end.sa_handler = [](int) { qo_exit(4, nullptr); };
    for (int run = 0; run < 60; run++) {
        sigaction(SIGUSR1, &end, &old); // the child's from its start
        const pid_t child = fork();
        if (child > 0)
            sigaction(SIGUSR1, &old, nullptr);
        if (child == 0) {
            alarm(limit);
            std::thread([] { pause(); }).detach();
            for (;;)
                if (const pid_t forked = fork(); forked == 0)
                    _exit(0);
                else
                    waitpid(forked, nullptr, 0);
        }
        usleep(useconds_t(2000 + run * 131 % 3000));
        kill(child, SIGUSR1);
        int status = -1;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4)
            << "run " << run << ": " << status;
    }
}

} // namespace
