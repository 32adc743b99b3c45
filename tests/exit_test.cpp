#include "qo.h"
#include "support.h"

#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

using qo_test::ScratchPath;
using testing::Eq;
using testing::ExitedWithCode;

TEST(Exit, PrintsTheMessageAndEndsWithTheStatus)
{
    EXPECT_EXIT(qo_exit(-1, "word"), ExitedWithCode(255), Eq("word\n"));
    EXPECT_EXIT(qo_exit(3, nullptr), ExitedWithCode(3), Eq(""));
    EXPECT_EXIT(qo_exit(0, ""), ExitedWithCode(0), Eq("\n"));
}

TEST(Exit, NonZeroStatusNeverReadsAsSuccess)
{
    const struct {
        int status, seen;
    } cases[] = {{256, 255}, {512, 255}, {-256, 255}, {258, 2}};
    for (const auto &c : cases)
        EXPECT_EXIT(qo_exit(c.status, nullptr), ExitedWithCode(c.seen), Eq(""));
}

TEST(Exit, FlushesAndClosesTheLog)
{
    ScratchPath log;
    EXPECT_EXIT(
        {
            qo_log_open(log.c_str(), 1);
            qo_log_int(1, 2, "f", "r", "before the end");
            qo_exit(-1, "bye");
        },
        ExitedWithCode(255), Eq("bye\n"));
    EXPECT_EQ(log.contents(), "DBG1: f->r#2: before the end\n");
}

// As prog 2>&1 | head -1 once head has gone.
TEST(Exit, AStandardErrorWhoseReaderHasGoneCostsOnlyTheMessage)
{
    ScratchPath log;
    EXPECT_EXIT(
        {
            int ends[2];
            if (pipe(ends) != 0)
                _exit(1);
            close(ends[0]);
            dup2(ends[1], STDERR_FILENO);
            qo_log_open(log.c_str(), 1);
            qo_log_int(1, 2, "f", "r", "kept");
            qo_exit(3, "nobody reads this");
        },
        ExitedWithCode(3), Eq(""));
    EXPECT_EQ(log.contents(), "DBG1: f->r#2: kept\n");
}

void report_hook(int status, const char *message)
{
    fprintf(stderr, "hook %d %s\n", status, message);
}

TEST(Exit, HookRunsFirstWithStatusAndMessage)
{
    EXPECT_EXIT(
        {
            qo_exit_hook = report_hook;
            qo_exit(7, "msg");
        },
        ExitedWithCode(7), Eq("hook 7 msg\nmsg\n"));
}

void failing_hook(int, const char *)
{
    fputs("hook\n", stderr);
    qo_setenv(nullptr, "x");
}

TEST(Exit, HookThatFailsAgainDoesNotRunTwice)
{
    EXPECT_EXIT(
        {
            qo_exit_hook = failing_hook;
            qo_exit(7, "outer");
        },
        ExitedWithCode(255), Eq("hook\nUnable to setenv a NULL variable\n"));
}

// The program's own timers, as it set them, go on through the end: its
// atexit() handlers and the flush of stdout run to their end; only one that
// never returns is cut short, 2 seconds on.
volatile sig_atomic_t ticks = 0;

void tick(int)
{
    ticks = ticks + 1;
}

// The handler waits for three more ticks of the program's timer.
void wait_for_ticks()
{
    for (const sig_atomic_t until = ticks + 3; ticks < until;)
        pause();
    printf("ticked\n");
}

void tick_every_50_ms()
{
    signal(SIGALRM, tick);
    const itimerval every{{0, 50000}, {0, 50000}};
    setitimer(ITIMER_REAL, &every, nullptr);
}

TEST(Exit, TheProgramsOwnTimersRunOnThroughTheEnd)
{
    const struct {
        const char *name;
        void (*set_up)();
        void (*at_exit)();
        const char *out;
        double min_s, max_s;
    } cases[] = {
        {"a setitimer() timer", tick_every_50_ms, wait_for_ticks, "kept\nticked\n", 0,
         1},
        {"a POSIX timer on SIGALRM",
         [] {
             signal(SIGALRM, tick);
             sigevent event{};
             event.sigev_notify = SIGEV_SIGNAL;
             event.sigev_signo = SIGALRM;
             timer_t timer{};
             const itimerspec every{{0, 50000000}, {0, 50000000}};
             if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0 ||
                 timer_settime(timer, 0, &every, nullptr) != 0)
                 _exit(9);
         },
         wait_for_ticks, "kept\nticked\n", 0, 1},
        {"an alarm() pending", [] { alarm(30); },
         [] {
             const unsigned left = alarm(0);
             printf("alarm %s\n", left > 25 && left <= 30 ? "pending" : "lost");
         },
         "kept\nalarm pending\n", 0, 1},
        {"a handler that never returns, beside the ticks", tick_every_50_ms,
         [] {
             for (;;)
                 pause();
         },
         "", 1.9, 3},
    };
    for (const auto &c : cases) {
        ScratchPath out;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EXIT(
            {
                const int file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                dup2(file, STDOUT_FILENO);
                c.set_up();
                atexit(c.at_exit);
                printf("kept\n"); // in stdout's buffer
                qo_exit(3, nullptr);
            },
            ExitedWithCode(3), Eq(""))
            << c.name;
        const std::chrono::duration<double> took =
            std::chrono::steady_clock::now() - start;
        EXPECT_EQ(out.contents(), c.out) << c.name;
        EXPECT_TRUE(took.count() >= c.min_s && took.count() < c.max_s)
            << c.name << ": " << took.count() << " s";
    }
}

} // namespace
