#include "qo.h"
#include "support.h"

#include <csignal>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/wait.h>

namespace {

using qo_test::ScratchPath;

TEST(System, ReturnsTheShellsStatusUnchanged)
{
    EXPECT_EQ(qo_system("exit 0"), 0);
    EXPECT_EQ(qo_system("exit %d", 1), 256);
    const int killed = qo_system("kill -%d $$", SIGTERM);
    ASSERT_TRUE(WIFSIGNALED(killed)) << killed;
    EXPECT_EQ(WTERMSIG(killed), SIGTERM);
}

TEST(System, FormatsItsArgumentsIntoTheCommandLine)
{
    ScratchPath out;
    EXPECT_EQ(qo_system("printf '%%s|%%s' %s %d > %s", "word", 42, out.c_str()), 0);
    EXPECT_EQ(out.contents(), "word|42");
}

// With SIGCHLD ignored the kernel reaps the shell itself, so system()
// cannot wait for it and returns -1: a real failure, caused in a child.
int run_without_sigchld(const char *log, int level)
{
    signal(SIGCHLD, SIG_IGN);
    qo_log_open(log, level);
    const int status = qo_system("echo %s", "unwaited");
    qo_log_close();
    return status;
}

TEST(System, UnwaitableShellIsLoggedAtLevelFourWithTheRunnersCallSite)
{
    ScratchPath log;
    EXPECT_EXIT(exit(run_without_sigchld(log.c_str(), 4) == -1 ? 0 : 1),
                testing::ExitedWithCode(0), "");
    EXPECT_TRUE(std::regex_match(
        log.contents(),
        std::regex(
            "DBG4: lib/run/qo_sys\\.cpp->qo_system_int#[0-9]+: Unable to execute echo "
            "unwaited\n")))
        << log.contents();

    ScratchPath quiet;
    EXPECT_EXIT(exit(run_without_sigchld(quiet.c_str(), 3) == -1 ? 0 : 1),
                testing::ExitedWithCode(0), "");
    EXPECT_EQ(quiet.contents(), "");
}

// One argument over the kernel's limit (MAX_ARG_STRLEN, 128 KiB): the
// shell cannot be started at all, which the C library reports as a shell
// that found no command (127), not as -1.
TEST(System, ShellThatCannotBeStartedLooksLikeCommandNotFound)
{
    ScratchPath log;
    qo_log_open(log.c_str(), 8);
    const std::string too_long(256 << 10, 'x');
    const int status = qo_system("true %s", too_long.c_str());
    qo_log_close();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 127);
    EXPECT_EQ(log.contents(), "");
}

TEST(System, CommandLineThatCannotBeBuiltEndsTheProcess)
{
    ScratchPath log;
    const wchar_t unconvertible[] = {0xE9, 0}; // no conversion in the C locale
    int line = __LINE__ + 4;
    EXPECT_EXIT(
        {
            qo_log_open(log.c_str(), 1);
            qo_system("echo %ls", unconvertible);
        },
        testing::ExitedWithCode(255),
        testing::Eq("Unable to alloc memory in qo_system_int\n"));
    EXPECT_EQ(log.contents(),
              "DBG1: tests/sys_test.cpp->qo_system_int#" + std::to_string(line) +
                  ": Unable to alloc memory in qo_system_int\nExiting...\n");
}

// What a program built against 1.4 calls: its entries, which know no
// function, name themselves in every entry of the call.
TEST(System, EntriesOfOlderHeadersNameThemselves)
{
    ScratchPath log;
    qo_log_open(log.c_str(), 5);
    char *out = nullptr;
    EXPECT_EQ(qo_system_output_int(&out, 7, "old.c", "echo %s", "shell"), 0);
    const char *const first[] = {"echo", "pipe", nullptr};
    const char *const second[] = {"cat", nullptr};
    const char *const *const stages[] = {first, second, nullptr};
    int statuses[2] = {-1, -1};
    char *piped = nullptr;
    qo_run_options o{};
    o.output = &piped;
    EXPECT_EQ(qo_pipeline_int(stages, &o, statuses, 9, "old.c"), 0);
    qo_log_close();
    EXPECT_STREQ(out, "shell\n");
    EXPECT_STREQ(piped, "pipe\n");
    qo_free(&piped);
    EXPECT_EQ(statuses[0], 0);
    EXPECT_EQ(statuses[1], 0);
    qo_free(&out);
    const std::string entries = log.contents();
    for (const char *site :
         {"old.c->qo_system_output_int#7: ", "old.c->qo_pipeline_int#9: "})
        EXPECT_NE(entries.find(site), std::string::npos) << site << "\n" << entries;
    EXPECT_EQ(entries.find("EntriesOfOlderHeaders"), std::string::npos) << entries;
}

} // namespace
