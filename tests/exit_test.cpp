#include "qo.h"
#include "support.h"

#include <gtest/gtest.h>
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

} // namespace
