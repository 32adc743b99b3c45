#include "qo.h"
#include "support.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <regex>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <gtest/gtest.h>

namespace {

using qo_test::ScratchPath;
using qo_test::write_file;

// Each test starts and ends with the log off and unstamped.
class Log : public ::testing::Test {
  protected:
    void TearDown() override
    {
        qo_log_close();
        qo_log_stamp(0);
    }
    ScratchPath log;
};

TEST_F(Log, WritesExactEntriesUpToItsLevel)
{
    qo_log_open(log.c_str(), 3);
    qo_log_int(0, 1, "f", "r", "hello %d", 1);
    qo_log_int(-2, 1, "f", "r", "negative levels are information");
    qo_log_int(2, 7, "f", "r", "a\nb");
    qo_log_int(3, 12, "app", "qo_strcat_int", "%s", "at the level");
    qo_log_int(4, 1, "f", "r", "dropped");
    qo_log_close();
    EXPECT_EQ(log.contents(), "INFO: hello 1\n"
                              "INFO: negative levels are information\n"
                              "DBG2: f->r#7: a\nb\n"
                              "DBG3: app->qo_strcat_int#12: at the level\n");
}

TEST_F(Log, LevelZeroKeepsOnlyInformation)
{
    qo_log_open(log.c_str(), 0);
    qo_log_int(1, 1, "f", "r", "dropped");
    qo_log_int(0, 1, "f", "r", "kept");
    qo_log_close();
    EXPECT_EQ(log.contents(), "INFO: kept\n");
}

TEST_F(Log, FrontTagsItsOwnCallSite)
{
    qo_log_open(log.c_str(), 1);
    int line = __LINE__ + 1;
    qo_log(1, "x=%d", 5);
    qo_log_close();
    EXPECT_EQ(log.contents(),
              "DBG1: tests/log_test.cpp->TestBody#" + std::to_string(line) + ": x=5\n");
}

TEST_F(Log, FrontEvaluatesArgumentsOnlyWhenTheEntryIsWritten)
{
    qo_log_open(log.c_str(), 3);
    int level = 3, evaluated = 0;
    qo_log(level++, "%d", ++evaluated);
    qo_log(level++, "%d", ++evaluated); // filtered out
    qo_log_close();
    EXPECT_EQ(level, 5);
    EXPECT_EQ(evaluated, 1);
}

// As logrotate does: rename, then SIGHUP, whose handler asks for a reopen.
TEST_F(Log, ReopenAfterARenameGoesOnInANewFileAndLosesNothing)
{
    ScratchPath rotated;
    struct sigaction hup = {}, old = {};
    hup.sa_handler = [](int) { qo_log_reopen(); };
    sigaction(SIGHUP, &hup, &old);
    qo_log_open(log.c_str(), 1);
    qo_log_int(1, 1, "f", "r", "before");
    ASSERT_EQ(rename(log.c_str(), rotated.c_str()), 0);
    qo_log_int(1, 2, "f", "r", "renamed, not reopened yet");
    raise(SIGHUP);
    qo_log_int(1, 3, "f", "r", "after");
    qo_log_close();
    sigaction(SIGHUP, &old, nullptr);
    EXPECT_EQ(rotated.contents(),
              "DBG1: f->r#1: before\nDBG1: f->r#2: renamed, not reopened yet\n");
    EXPECT_EQ(log.contents(), "DBG1: f->r#3: after\n");
}

TEST_F(Log, AppendsToAnExistingFileAndCreatesAMissingOne)
{
    write_file(log.c_str(), "old\n");
    qo_log_open(log.c_str(), 0);
    qo_log_int(0, 1, "f", "r", "new");
    qo_log_close();
    EXPECT_EQ(log.contents(), "old\nINFO: new\n");

    // A file that exists but cannot be read is still appended to, never emptied.
    chmod(log.c_str(), 0200);
    qo_log_open(log.c_str(), 0);
    qo_log_int(0, 1, "f", "r", "newer");
    qo_log_close();
    chmod(log.c_str(), 0600);
    EXPECT_EQ(log.contents(), "old\nINFO: new\nINFO: newer\n");
}

TEST_F(Log, DropsEverythingWhenClosedOrNeverOpened)
{
    qo_log_close(); // never opened: nothing happens
    qo_log_set_level(9);
    qo_log_int(0, 1, "f", "r", "nowhere");
    qo_log_open(log.c_str(), 9);
    qo_log_close();
    qo_log_int(-1, 1, "f", "r", "after close");
    qo_log_int(1, 1, "f", "r", "after close");
    EXPECT_EQ(log.contents(), "");
}

TEST_F(Log, SecondOpenClosesAndFlushesTheFirst)
{
    ScratchPath other;
    qo_log_open(log.c_str(), 1);
    qo_log_int(1, 1, "f", "r", "first");
    qo_log_open(other.c_str(), 0);
    EXPECT_EQ(log.contents(), "DBG1: f->r#1: first\n");
    qo_log_int(1, 1, "f", "r", "dropped at the new level");
    qo_log_int(0, 1, "f", "r", "second");
    qo_log_close();
    EXPECT_EQ(log.contents(), "DBG1: f->r#1: first\n");
    EXPECT_EQ(other.contents(), "INFO: second\n");
}

TEST_F(Log, UnopenablePathLeavesLoggingOff)
{
    testing::internal::CaptureStderr();
    qo_log_open("/nonexistent-qo-dir/x.log", 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Unable to write to /nonexistent-qo-dir/x.log\nLogging desactivated\n");
    // The level of the failed open must not leak into the next one.
    qo_log_int(0, 1, "f", "r", "nowhere");
    qo_log_set_level(0);
    qo_log_open(log.c_str(), 0);
    qo_log_int(1, 1, "f", "r", "dropped");
    qo_log_close();
    EXPECT_EQ(log.contents(), "");
}

TEST_F(Log, SurvivesMissingNamesAndFormat)
{
    qo_log_open(log.c_str(), 1);
    qo_log_int(1, 3, nullptr, nullptr, "m");
    const char *no_format = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    qo_log_int(1, 4, "f", "r", no_format);
#pragma GCC diagnostic pop
    qo_log_close();
    EXPECT_EQ(log.contents(), "DBG1: (null)->(null)#3: m\n");
}

// The log's own troubles go to standard error; the log goes on.
TEST_F(Log, ReportsWriteAndCloseFailuresOnStandardError)
{
    // In the C locale a non-ASCII wide character cannot be converted.
    const wchar_t unconvertible[] = {0xE9, 0};
    qo_log_open(log.c_str(), 1);
    testing::internal::CaptureStderr();
    qo_log_int(1, 1, "f", "r", "%ls", unconvertible);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("Unable to print to ") + log.c_str() + "\n");
    qo_log_int(1, 2, "f", "r", "next");
    qo_log_close();
    EXPECT_EQ(log.contents(), "DBG1: f->r#1: \nDBG1: f->r#2: next\n");

    // /dev/full takes the stream but not its data: the flush at close fails.
    // (Capturing flushes every stream, so it starts before the entry.)
    testing::internal::CaptureStderr();
    qo_log_open("/dev/full", 1);
    qo_log_int(1, 1, "f", "r", "lost");
    qo_log_close();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unable to close /dev/full\n");
}

// Common conversions are written without printf; every message must still
// read as printf writes it.
TEST_F(Log, MessagesReadAsPrintfWritesThem)
{
    const std::string longer(3000, 'l');
    const char *volatile none = nullptr;
    std::string expected;
    char text[4096];
#define BOTH(...)                                                                      \
    qo_log_int(0, 1, "f", "r", __VA_ARGS__);                                           \
    snprintf(text, sizeof text, __VA_ARGS__);                                          \
    expected += std::string("INFO: ") + text + "\n"
    qo_log_open(log.c_str(), 0);
    BOTH("%d|%d|%d|%d%% done", 0, -7, INT_MIN, INT_MAX);
    BOTH("%s and %s", "text", none);
    BOTH("%s %5d %x %.2f", "past the common ones", 42, 255U, 0.5);
    BOTH("%s!", longer.c_str());
    BOTH("no conversion");
#undef BOTH
    qo_log_close();
    EXPECT_EQ(log.contents(), expected);
}

TEST_F(Log, RefusesPathsItCannotWriteToAndCreatesNothing)
{
    ScratchPath folder;
    mkdir(folder.c_str(), 0700);
    char *const before = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(folder.c_str()), 0);
    const char *const paths[] = {nullptr, "/nonexistent-qo-dir/x.log", "/tmp"};
    for (const char *path : paths) {
        testing::internal::CaptureStderr();
        qo_log_open(path, 9);
        qo_log_int(1, 1, "f", "r", "nowhere");
        qo_log_close();
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("Unable to write to ") + (path ? path : "(null)") +
                      "\nLogging desactivated\n");
    }
    EXPECT_NE(access("(null)", F_OK), 0);
    EXPECT_EQ(chdir(before), 0);
    free(before);
    rmdir(folder.c_str());
}

// A standard error closed at open and reopened later still gets the fatal
// message: the log does not sit on descriptor 2.
TEST_F(Log, NeverTakesAStandardDescriptor)
{
    ScratchPath err;
    EXPECT_EXIT(
        {
            close(STDERR_FILENO);
            qo_log_open(log.c_str(), 1);
            open(err.c_str(), O_WRONLY | O_CREAT, 0600);
            qo_exit(1, "fatal");
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(err.contents(), "fatal\n");
    EXPECT_EQ(log.contents(), "");
}

TEST_F(Log, CommandOutputLandsAfterTheEntriesBeforeIt)
{
    qo_log_open(log.c_str(), 1);
    qo_log_int(1, 1, "f", "r", "before");
    qo_system("echo command >> %s", log.c_str());
    qo_log_int(1, 2, "f", "r", "after");
    qo_log_close();
    EXPECT_EQ(log.contents(), "DBG1: f->r#1: before\ncommand\nDBG1: f->r#2: after\n");
}

// The log's descriptor must not reach the commands run through the shell.
TEST_F(Log, StreamIsCloseOnExec)
{
    qo_log_open(log.c_str(), 1);
    bool found = false;
    DIR *fds = opendir("/proc/self/fd");
    ASSERT_NE(fds, nullptr);
    while (dirent *entry = readdir(fds)) {
        char target[4096] = {};
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) < 0 ||
            std::string(target) != log.c_str())
            continue;
        found = true;
        EXPECT_TRUE(fcntl(atoi(entry->d_name), F_GETFD) & FD_CLOEXEC);
    }
    closedir(fds);
    EXPECT_TRUE(found);
}

TEST_F(Log, StampsOffWriteTheSameBytesAsBefore)
{
    qo_log_stamp(QO_LOG_TIME | QO_LOG_PID | QO_LOG_CONTINUED);
    qo_log_stamp(0);
    qo_log_open(log.c_str(), 3);
    qo_log_int(0, 1, "f", "r", "at %s", "Wed Dec  9 10:42:07 2026\n");
    qo_log_int(2, 7, "f", "r", "a\nb");
    qo_log_close();
    EXPECT_EQ(log.contents(),
              "INFO: at Wed Dec  9 10:42:07 2026\n\nDBG2: f->r#7: a\nb\n");
}

TEST_F(Log, StampsComeFirstInTheOrderAskedFor)
{
    const std::string pid = std::to_string(getpid());
    const std::string tid = std::to_string(syscall(SYS_gettid));
    const std::string date = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.)";
    const struct {
        unsigned stamps;
        std::string expected; // a regular expression
    } cases[] = {
        {QO_LOG_TIME, date + R"(\d{3} DBG1: f->r#1: m\n)"},
        {QO_LOG_TIME | QO_LOG_TIME_US, date + R"(\d{6} DBG1: f->r#1: m\n)"},
        {QO_LOG_UPTIME, R"(0\.\d{6} DBG1: f->r#1: m\n)"},
        {QO_LOG_PID, "\\[" + pid + "\\] DBG1: f->r#1: m\n"},
        {QO_LOG_TID, "\\[/" + tid + "\\] DBG1: f->r#1: m\n"},
        {QO_LOG_TIME_US | QO_LOG_UPTIME | QO_LOG_PID | QO_LOG_TID,
         date + R"(\d{6} 0\.\d{6} \[)" + pid + "/" + tid + R"(\] DBG1: f->r#1: m\n)"},
    };
    for (const auto &c : cases) {
        qo_log_stamp(c.stamps);
        qo_log_open(log.c_str(), 1);
        qo_log_int(1, 1, "f", "r", "m");
        qo_log_close();
        EXPECT_TRUE(std::regex_match(log.contents(), std::regex(c.expected)))
            << c.stamps << ": " << log.contents();
        unlink(log.c_str());
    }
}

TEST_F(Log, ContinuedLinesAreMarked)
{
    const std::string longer(2000, 'l'); // outgrows the entry's stack room
    const struct {
        std::string message, expected;
    } cases[] = {
        {"a\nb", "DBG2: f->r#7: a\n  | b\n"},
        {"at Wed Dec  9 10:42:07 2026\n",
         "DBG2: f->r#7: at Wed Dec  9 10:42:07 2026\n"},
        {"\n\nb\n", "DBG2: f->r#7: \n  | \n  | b\n"},
        {longer + "\n" + longer, "DBG2: f->r#7: " + longer + "\n  | " + longer + "\n"},
    };
    qo_log_stamp(QO_LOG_CONTINUED);
    for (const auto &c : cases) {
        qo_log_open(log.c_str(), 2);
        qo_log_int(2, 7, "f", "r", "%s", c.message.c_str());
        qo_log_close();
        EXPECT_EQ(log.contents(), c.expected);
        unlink(log.c_str());
    }
}

} // namespace

namespace {

// The same entries, logged to whatever log is open.
void log_some()
{
    qo_log_int(0, 1, "f", "r", "hello %d", 1);
    qo_log_int(5, 7, "f", "r", "a\nb");
    qo_log_int(6, 1, "f", "r", "above the level");
}

// What a log opened by open() writes of log_some(), standard error taken
// by a file for the while: the bytes the log wrote, then the bytes fd 2
// still took after qo_log_close(), or "closed".
std::string logged(void (*open)(const char *path), const ScratchPath &file)
{
    fflush(stderr);
    const int kept = dup(2);
    const int err = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    dup2(err, 2);
    close(err);
    open(file.c_str());
    const int level = qo_log_level;
    log_some();
    qo_log_close();
    const bool still_open = fcntl(2, F_GETFD) != -1 && write(2, "after\n", 6) == 6;
    dup2(kept, 2);
    close(kept);
    return std::to_string(level) + ":" + file.contents() + (still_open ? "" : "closed");
}

} // namespace

// A log on a descriptor the caller has writes what a file log writes, and
// leaves the descriptor open; one that cannot open stays off.
TEST_F(Log, OnADescriptorWritesAsAFileAndLeavesItOpen)
{
    const struct {
        const char *name;
        void (*open)(const char *path);
        const char *expected;
    } rows[] = {
        {"file", [](const char *path) { qo_log_open(path, 5); },
         "5:INFO: hello 1\nDBG5: f->r#7: a\nb\nafter\n"},
        {"fd 2", [](const char *) { qo_log_open_fd(2, 5); },
         "5:INFO: hello 1\nDBG5: f->r#7: a\nb\nafter\n"},
        {"fd 2, reopened", [](const char *) {
             qo_log_open_fd(2, 5);
             qo_log_reopen();
         },
         "5:INFO: hello 1\nDBG5: f->r#7: a\nb\nafter\n"},
        {"closed fd", [](const char *) { qo_log_open_fd(-1, 5); },
         "0:Unable to write to descriptor -1\nLogging desactivated\nafter\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ScratchPath file;
        EXPECT_EQ(logged(row.open, file), row.expected);
    }
}
