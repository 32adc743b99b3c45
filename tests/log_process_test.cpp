// The log and the fatal exit across the ends of a process: fork, exit,
// signals, pipes. Each case runs in a child that an alarm ends, so that a
// hang fails the test instead of stalling it.
#include "qo.h"
#include "log/qo_log_journal_internal.h"
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
#include <map>
#include <regex>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
        {"exec 2>/dev/null; trap 'sleep 5' TERM; sleep 5", 500, 0, 1.7},
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

// fork(), the child's SIGUSR1 handler calling qo_exit(4) from its start.
pid_t fork_ending_on_sigusr1()
{
    struct sigaction end = {}, old = {};
    end.sa_handler = [](int) { qo_exit(4, nullptr); };
    sigaction(SIGUSR1, &end, &old);
    const pid_t child = fork();
    if (child > 0)
        sigaction(SIGUSR1, &old, nullptr);
    return child;
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
    for (int run = 0; run < 100; run++) {
        ScratchPath log;
        const pid_t child = fork_ending_on_sigusr1();
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

// A fork() child is a new process and thread: its entries say so.
TEST(LogFork, AChildStampsItsOwnIds)
{
    ScratchPath log;
    qo_log_stamp(QO_LOG_PID | QO_LOG_TID);
    qo_log_open(log.c_str(), 1);
    qo_log_int(1, 1, "f", "r", "parent");
    const pid_t child = fork();
    if (child == 0) {
        qo_log_int(1, 2, "f", "r", "child");
        qo_exit(0, nullptr);
    }
    waitpid(child, nullptr, 0);
    qo_log_close();
    qo_log_stamp(0);
    const std::string parent = std::to_string(getpid()), forked = std::to_string(child);
    EXPECT_EQ(log.contents(), "[" + parent + "/" + parent +
                                  "] DBG1: f->r#1: parent\n[" + forked + "/" + forked +
                                  "] DBG1: f->r#2: child\n");
}

// ---- The journal, with a socket of the test's own standing in for it.

sockaddr_un address_of(const char *path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    return address;
}

int bound_socket(const char *path)
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = address_of(path);
    EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address),
              0);
    return fd;
}

// One datagram, or what the memory file it carries holds, checked sealed.
std::string receive(int fd)
{
    std::string data(1 << 16, '\0');
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec part{data.data(), data.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd, &message, MSG_DONTWAIT);
    if (n < 0)
        return "(none)";
    data.resize(size_t(n));
    if (const cmsghdr *header = CMSG_FIRSTHDR(&message)) {
        int passed = -1;
        memcpy(&passed, CMSG_DATA(header), sizeof passed);
        EXPECT_EQ(n, 0);
        EXPECT_EQ(fcntl(passed, F_GET_SEALS),
                  F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
        data = qo_test::read_file("/proc/self/fd/" + std::to_string(passed));
        close(passed);
    }
    return data;
}

using Fields = std::multimap<std::string, std::string>;

// The journal's rules: NAME=value\n, or NAME\n, 64-bit little-endian
// length, value, \n; names of upper-case letters, digits and _.
Fields parse(const std::string &data)
{
    Fields fields;
    for (size_t at = 0; at < data.size();) {
        const size_t end = data.find_first_of("=\n", at);
        const std::string name = data.substr(at, end - at);
        EXPECT_TRUE(std::regex_match(name, std::regex("[A-Z][A-Z0-9_]{0,63}"))) << name;
        if (end == std::string::npos)
            break;
        size_t value_at = end + 1, size = data.find('\n', value_at) - value_at;
        if (data[end] == '\n') {
            uint64_t length = 0;
            for (int i = 7; i >= 0; i--)
                length = length << 8 | uint8_t(data[value_at + size_t(i)]);
            value_at += 8;
            size = size_t(length);
        }
        EXPECT_EQ(data[value_at + size], '\n') << name;
        fields.emplace(name, data.substr(value_at, size));
        at = value_at + size + 1;
    }
    return fields;
}

class Journal : public qo_test::Bounded<limit> {
  protected:
    void SetUp() override
    {
        Bounded::SetUp();
        qo_log_journal::socket_path = path.c_str();
    }
    void TearDown() override
    {
        qo_log_close();
        qo_log_stamp(0);
        qo_log_journal::socket_path = "/run/systemd/journal/socket";
        close(fd);
        Bounded::TearDown();
    }
    Fields next() { return parse(receive(fd)); }

    ScratchPath path;
    int fd = bound_socket(path.c_str());
};

std::string field(const Fields &fields, const char *name)
{
    const auto found = fields.find(name);
    return found == fields.end() ? "(none)" : found->second;
}

TEST_F(Journal, EachEntryArrivesAsOneRecordWithItsFields)
{
    const std::string huge(1 << 20, 'h'); // too large for a datagram
    const struct {
        int level;
        std::string message, expected, priority;
    } cases[] = {
        {0, "hello", "hello", "6"},
        {1, "failed\nExiting...", "failed\nExiting...", "3"},
        {5, "at Wed Dec  9 10:42:07 2026\n", "at Wed Dec  9 10:42:07 2026", "7"},
        {2, huge + "\n" + huge, huge + "\n" + huge, "7"},
    };
    qo_log_stamp(QO_LOG_TIME | QO_LOG_TID | QO_LOG_CONTINUED); // not for the journal
    qo_log_open_journal("qo-test", 5);
    for (const auto &c : cases) {
        qo_log_int(c.level, 42, "app.c", "main", "%s", c.message.c_str());
        const Fields got = next();
        EXPECT_EQ(got.size(), 8U);
        EXPECT_EQ(field(got, "MESSAGE"), c.expected);
        EXPECT_EQ(field(got, "PRIORITY"), c.priority);
        EXPECT_EQ(field(got, "QO_LEVEL"), std::to_string(c.level));
        EXPECT_EQ(field(got, "CODE_FILE") + field(got, "CODE_FUNC"), "app.cmain");
        EXPECT_EQ(field(got, "CODE_LINE"), "42");
        EXPECT_EQ(field(got, "TID"), std::to_string(gettid()));
        EXPECT_EQ(field(got, "SYSLOG_IDENTIFIER"), "qo-test");
    }
    qo_log_int(6, 1, "f", "r", "above the level");
    EXPECT_EQ(receive(fd), "(none)");
}

TEST_F(Journal, WithNoJournalTheLogSaysSoAndStaysOff)
{
    close(fd); // the socket file stays, and nobody listens
    fd = -1;
    for (const char *where : {path.c_str(), "/nonexistent-qo-dir/socket"}) {
        qo_log_journal::socket_path = where;
        testing::internal::CaptureStderr();
        qo_log_open_journal(nullptr, 5);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("Unable to write to the systemd journal at ") + where +
                      "\nLogging desactivated\n");
        EXPECT_EQ(qo_log_level, 0);
    }
}

// The fatal exit's entry, bounded, as for a file.
TEST_F(Journal, AFailureThatEndsTheProcessLogsItsEntry)
{
    EXPECT_EXIT(
        {
            qo_log_open_journal(nullptr, 1);
            free(qo_shell_quote(nullptr));
        },
        ExitedWithCode(255), Eq("qo_shell_quote: NULL input\n"));
    const Fields got = next();
    EXPECT_EQ(field(got, "MESSAGE"), "qo_shell_quote: NULL input\nExiting...");
    EXPECT_EQ(field(got, "PRIORITY"), "3");
    EXPECT_EQ(field(got, "SYSLOG_IDENTIFIER"), "log_process_test");
}

// A run's entries wait for a full journal until the run's deadline, are
// dropped and counted; the count reaches the journal before the next entry.
TEST_F(Journal, ARunGivesUpOnAFullJournalAndTheDropIsLogged)
{
    qo_log_open_journal(nullptr, 5);
    const int filler = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = address_of(path.c_str());
    while (sendto(filler, "X=1\n", 4, MSG_DONTWAIT,
                  reinterpret_cast<const sockaddr *>(&address), sizeof address) == 4) {
    }
    close(filler);
    qo_run_options o{};
    o.timeout_ms = 300;
    const char *const argv[] = {"true", nullptr};
    qo_run(argv, &o); // the entries and the command share the deadline
    while (receive(fd) == "X=1\n") {
    }
    qo_log_int(1, 7, "f", "r", "moving");
    EXPECT_EQ(field(next(), "MESSAGE"),
              "qo: 2 log entries dropped while the log was blocked");
    EXPECT_EQ(field(next(), "MESSAGE"), "moving");
}

// The real path, in a mount namespace of the test's own with a tmpfs over
// /run: no hook between the log and the socket.
TEST(JournalAtItsPath, EntriesReachTheSocketAtRunSystemdJournal)
{
    const pid_t child = fork();
    if (child == 0) {
        alarm(limit);
        const std::string uid = std::to_string(getuid()),
                          gid = std::to_string(getgid());
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            _exit(77);
        qo_test::write_file("/proc/self/setgroups", "deny");
        qo_test::write_file("/proc/self/uid_map", "0 " + uid + " 1");
        qo_test::write_file("/proc/self/gid_map", "0 " + gid + " 1");
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0)
            _exit(77);
        mkdir("/run/systemd", 0755);
        mkdir("/run/systemd/journal", 0755);
        const int fd = bound_socket("/run/systemd/journal/socket");
        qo_log_open_journal("at-its-path", 1);
        qo_log(1, "%s", "there");
        _exit(field(parse(receive(fd)), "MESSAGE") == "there" ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "unshare(CLONE_NEWUSER | CLONE_NEWNS), or the tmpfs over /run, "
                        "refused here (a multi-threaded process cannot have them)";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Against systemd-journald itself, where one runs.
TEST(JournalAtItsPath, JournaldShowsTheCallSite)
{
    if (access("/run/systemd/journal/socket", W_OK) != 0 ||
        system("journalctl -n 0 >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no systemd-journald listens at /run/systemd/journal/socket, "
                        "or journalctl cannot read the journal";
    const std::string tag = "qo-test-" + std::to_string(getpid());
    qo_log_open_journal(tag.c_str(), 1);
    qo_log(1, "%s", "seen by journald");
    qo_log_close();
    std::string shown;
    const std::string command = "journalctl -o verbose -t " + tag + " 2>/dev/null";
    for (int tries = 0; tries < 50 && shown.find("CODE_LINE=") == std::string::npos;
         tries++) {
        usleep(100000);
        if (FILE *out = popen(command.c_str(), "r")) {
            char block[4096];
            for (size_t n; (n = fread(block, 1, sizeof block, out)) > 0;)
                shown.append(block, n);
            pclose(out);
        }
    }
    EXPECT_THAT(shown, testing::HasSubstr("CODE_LINE="));
    EXPECT_THAT(shown, testing::HasSubstr("MESSAGE=seen by journald"));
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
    for (int run = 0; run < 60; run++) {
        const pid_t child = fork_ending_on_sigusr1();
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
