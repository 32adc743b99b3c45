#include "qo.h"
#include "support.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// An allocation no allocator can give must fail as it does without
// AddressSanitizer (NULL), not abort inside the sanitizer.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace {

using qo_test::ScratchPath;
using testing::Eq;
using testing::ExitedWithCode;

std::string entry(int level, const char *routine, int line, const std::string &message)
{
    return "DBG" + std::to_string(level) + ": " + __FILE__ + "->" + routine + "#" +
           std::to_string(line) + ": " + message + "\n";
}

class Mem : public ::testing::Test {
  protected:
    void SetUp() override { qo_log_open(log.c_str(), 8); }
    void TearDown() override { qo_log_close(); }
    std::string logged()
    {
        qo_log_close();
        return log.contents();
    }
    ScratchPath log;
};

// ---- Paths that end the process, each caused for real ----------------------

using MemDeath = Mem;

TEST_F(MemDeath, MallocOfAnImpossibleSize)
{
    volatile size_t huge = SIZE_MAX - 4096;
    int line = __LINE__ + 1;
    EXPECT_EXIT(qo_malloc(huge), ExitedWithCode(255),
                testing::ResultOf(qo_test::without_sanitizer_notes,
                                  Eq("Unable to alloc memory in qo_malloc\n")));
    // The call site is the caller's, relative to the source root.
    EXPECT_EQ(logged(), "DBG1: tests/mem_test.cpp->qo_malloc#" + std::to_string(line) +
                            ": Unable to alloc memory in qo_malloc\nExiting...\n");
}

// In the C locale a non-ASCII wide character cannot be converted, so the
// C library's formatting itself fails (EILSEQ), as it does on exhaustion.
const wchar_t unconvertible[] = {0xE9, 0};

TEST_F(MemDeath, AsprintfFormattingFailure)
{
    char *s = nullptr;
    int line = __LINE__ + 1;
    EXPECT_EXIT(qo_asprintf(&s, "%ls", unconvertible), ExitedWithCode(255),
                Eq("Unable to alloc memory in qo_asprintf\n"));
    EXPECT_EQ(logged(), entry(1, "qo_asprintf", line,
                              "Unable to alloc memory in qo_asprintf\nExiting..."));
}

TEST_F(MemDeath, StrcatFormattingFailure)
{
    char *s = nullptr;
    int line = __LINE__ + 1;
    EXPECT_EXIT(qo_strcat(&s, "%ls", unconvertible), ExitedWithCode(255),
                Eq("Unable to alloc memory in qo_strcat\n"));
    EXPECT_EQ(logged(), entry(1, "qo_strcat_int", line,
                              "Unable to alloc memory in qo_strcat\nExiting..."));
}

// A block that cannot grow, under a real data limit, names the routine the
// caller called.
TEST_F(MemDeath, StrcatThatCannotGrow)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's shadow memory defeats RLIMIT_DATA";
#else
    const std::string big(8 << 20, 'x');
    char *s = nullptr;
    EXPECT_EXIT(
        {
            rlimit limit{};
            limit.rlim_cur = limit.rlim_max = 32 << 20;
            setrlimit(RLIMIT_DATA, &limit);
            for (;;)
                (qo_strcat_int)(&s, 7, __FILE__, "%s", big.c_str());
        },
        ExitedWithCode(255), Eq("Unable to alloc memory in qo_strcat\n"));
    EXPECT_EQ(logged(), entry(1, "qo_strcat_int", 7,
                              "Unable to alloc memory in qo_strcat\nExiting..."));
#endif
}

TEST_F(MemDeath, StrcatWithoutASlot)
{
    int line = __LINE__ + 1;
    EXPECT_EXIT(qo_strcat(nullptr, "x"), ExitedWithCode(255),
                Eq("Unable to add to a NULL pointer\n"));
    EXPECT_EQ(logged(), entry(1, "qo_strcat_int", line,
                              "Unable to add to NULL pointer\nExiting..."));
}

TEST_F(MemDeath, GetlineReadError)
{
    FILE *dir = fopen("/", "r"); // opens, but every read fails with EISDIR
    ASSERT_NE(dir, nullptr);
    char *s = nullptr;
    int line = __LINE__ + 1;
    EXPECT_EXIT(qo_getline(&s, dir), ExitedWithCode(255),
                Eq("Unable to alloc memory in qo_getline\n"));
    fclose(dir);
    EXPECT_EQ(logged(), entry(1, "qo_getline_int", line,
                              "Unable to alloc memory in qo_getline\nExiting..."));
}

TEST_F(MemDeath, SetenvRefusals)
{
    int line = __LINE__ + 1;
    EXPECT_EXIT(qo_setenv(nullptr, "v"), ExitedWithCode(255),
                Eq("Unable to setenv a NULL variable\n"));
    EXPECT_EXIT(qo_setenv("QO_NAME", nullptr), ExitedWithCode(255),
                Eq("Unable to affect a NULL variable\n"));
    EXPECT_EXIT(qo_setenv("A=B", "v"), ExitedWithCode(255),
                Eq("Unable to put in environment\n"));
    EXPECT_EQ(logged(), entry(1, "qo_setenv_int", line,
                              "Unable to setenv a NULL variable\nExiting...") +
                            entry(1, "qo_setenv_int", line + 2,
                                  "Unable to affect NULL to QO_NAME\nExiting...") +
                            entry(1, "qo_setenv_int", line + 4,
                                  "Unable to put A=B in environment"));
}

TEST_F(MemDeath, GetlineReadErrorAfterPartOfALine)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "abc", 3), 3); // the write end stays open: no end of input
    fcntl(fds[0], F_SETFL, O_NONBLOCK);    // the read after "abc" fails with EAGAIN
    FILE *in = fdopen(fds[0], "r");
    char *s = nullptr;
    int line = __LINE__ + 4;
    EXPECT_EXIT(
        {
            alarm(10); // a reader that retried every error would spin forever
            qo_getline(&s, in);
        },
        ExitedWithCode(255), Eq("Unable to alloc memory in qo_getline\n"));
    fclose(in);
    close(fds[1]);
    EXPECT_EQ(logged(), entry(1, "qo_getline_int", line,
                              "Unable to alloc memory in qo_getline\nExiting..."));
}

// ---- Arguments the routines cannot do without -------------------------------

const char *no_format = nullptr; // not a constant: the compiler cannot see it

struct NullCase {
    std::function<void()> call;
    const char *site; // the log line's "file->routine#line", as a pattern
    const char *message;
};

TEST(NullArguments, EndTheProcessNamingTheRoutineAndTheArgument)
{
    char *s = nullptr;
    const char *unset = getenv("QO_TEST_NEVER_SET"); // how a NULL usually arrives
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const NullCase cases[] = {
        {[&] { (qo_asprintf)(nullptr, 7, "app.c", "x"); }, "app.c->qo_asprintf#7",
         "qo_asprintf: NULL slot"},
        {[&] { (qo_asprintf)(&s, 7, "app.c", no_format); }, "app.c->qo_asprintf#7",
         "qo_asprintf: NULL format"},
        {[&] { qo_str_reset_int(nullptr, 7, "app.c", "x"); },
         "app.c->qo_str_reset_int#7", "qo_str_reset: NULL slot"},
        {[&] { qo_str_reset_int(&s, 7, "app.c", no_format); },
         "app.c->qo_str_reset_int#7", "qo_str_reset: NULL format"},
        {[&] { qo_getline_int(nullptr, stdin, 7, "app.c"); }, "app.c->qo_getline_int#7",
         "qo_getline: NULL slot"},
        {[&] { qo_getline_int(&s, nullptr, 7, "app.c"); }, "app.c->qo_getline_int#7",
         "qo_getline: NULL stream"},
        {[&] { qo_system_int(7, "app.c", no_format); }, "app.c->qo_system_int#7",
         "qo_system: NULL format"},
        // The string helpers take no call site: they name their own.
        {[&] { qo_stresc(unset, "$", '\\', '\''); },
         "lib/str/qo_str.cpp->qo_stresc#[0-9]+", "qo_stresc: NULL input"},
        {[&] { qo_stresc("a", unset, '\\', '\''); },
         "lib/str/qo_str.cpp->qo_stresc#[0-9]+", "qo_stresc: NULL specials"},
        {[&] { qo_shell_quote(unset); }, "lib/str/qo_str.cpp->qo_shell_quote#[0-9]+",
         "qo_shell_quote: NULL input"},
        {[&] { qo_str_substitute(unset, "x", "y"); },
         "lib/str/qo_str.cpp->qo_str_substitute#[0-9]+",
         "qo_str_substitute: NULL input"},
        {[&] { qo_str_substitute("a-b", unset, "y"); },
         "lib/str/qo_str.cpp->qo_str_substitute#[0-9]+",
         "qo_str_substitute: NULL token"},
        {[&] { qo_str_substitute("a-b", "-", unset); },
         "lib/str/qo_str.cpp->qo_str_substitute#[0-9]+",
         "qo_str_substitute: NULL replacement"},
    };
#pragma GCC diagnostic pop
    for (const auto &c : cases) {
        ScratchPath log;
        EXPECT_EXIT(
            {
                qo_log_open(log.c_str(), 1);
                c.call();
            },
            ExitedWithCode(255), Eq(std::string(c.message) + "\n"));
        EXPECT_TRUE(std::regex_match(log.contents(),
                                     std::regex(std::string("DBG1: ") + c.site + ": " +
                                                c.message + "\nExiting...\n")))
            << c.message << ": " << log.contents();
    }
}

// ---- Normal use and tolerated misuse ----------------------------------------

TEST_F(Mem, FreeEmptiesTheSlotAndToleratesAnEmptyOne)
{
    char *s = strdup("x");
    qo_free(&s);
    EXPECT_EQ(s, nullptr);
    int line = __LINE__ + 1;
    qo_free(&s);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(logged(), entry(8, "qo_free", line, "Attempt to free NULL pointer"));
}

TEST_F(Mem, NullsThatAreToleratedStaySo)
{
    (qo_free)(nullptr, 7, "app.c");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    qo_log(1, no_format);
#pragma GCC diagnostic pop
    EXPECT_EQ(logged(), "DBG8: app.c->qo_free#7: Attempt to free NULL pointer\n");
}

TEST_F(Mem, MallocNeverReturnsNull)
{
    char *zero = static_cast<char *>(qo_malloc(0));
    EXPECT_NE(zero, nullptr);
    qo_free(&zero);
}

TEST_F(Mem, AsprintfStoresAndReturnsTheLength)
{
    char *s = nullptr;
    EXPECT_EQ(qo_asprintf(&s, "%s-%d", "ab", 5), 4);
    EXPECT_STREQ(s, "ab-5");
    qo_free(&s);
}

TEST_F(Mem, StrcatAppendsAndKeepsPercentSignsPlain)
{
    char *s = nullptr;
    qo_strcat(&s, "x%d", 1);
    EXPECT_STREQ(s, "x1");
    qo_strcat(&s, "y");
    EXPECT_STREQ(s, "x1y");
    qo_free(&s);

    s = strdup("100%");
    qo_strcat(&s, "!");
    EXPECT_STREQ(s, "100%!");
    qo_strcat(&s, "%s", "%d");
    EXPECT_STREQ(s, "100%!%d");

    // A missing format changes nothing and writes nothing.
    const char *no_format = nullptr;
    char *before = s;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    qo_strcat(&s, no_format);
#pragma GCC diagnostic pop
    EXPECT_EQ(s, before);
    qo_free(&s);
    EXPECT_EQ(logged(), "");
}

TEST_F(Mem, GetlineReadsLinesThenEndsWithAnEmptyString)
{
    char text[] = "a\nlast";
    FILE *in = fmemopen(text, strlen(text), "r");
    char *s = nullptr;
    EXPECT_EQ(qo_getline(&s, in), 2);
    EXPECT_STREQ(s, "a\n");
    qo_free(&s);
    EXPECT_EQ(qo_getline(&s, in), 4);
    EXPECT_STREQ(s, "last");
    int line = __LINE__ + 1;
    EXPECT_EQ(qo_getline(&s, in), 0); // slot still full: tolerated
    EXPECT_STREQ(s, "");
    qo_free(&s);
    fclose(in);
    EXPECT_EQ(logged(), entry(1, "qo_getline_int", line,
                              "qo_getline_ found a non freed variable here"));
}

// ---- Reading through signals --------------------------------------------------

// A step of the writer: text to send, or interrupt: once the reader has
// taken everything and sleeps in read(), signal it and wait for its
// handler, so that the read is cut short before more text comes.
constexpr const char *interrupt = nullptr;

int signal_taken_fd = -1; // the reader's handler writes a byte here

void on_signal(int)
{
    (void)!write(signal_taken_fd, "!", 1);
}

bool interrupt_when_asleep(pid_t reader, int pipe_fd, int taken_fd)
{
    const std::string stat = "/proc/" + std::to_string(reader) + "/stat";
    for (int tries = 0; tries < 5000; tries++, usleep(1000)) {
        int queued = -1;
        const std::string fields = qo_test::read_file(stat); // "pid (name) state ..."
        if (ioctl(pipe_fd, FIONREAD, &queued) == 0 && queued == 0 &&
            fields.compare(fields.rfind(") ") + 2, 1, "S") == 0) {
            char taken = 0;
            return kill(reader, SIGUSR1) == 0 && read(taken_fd, &taken, 1) == 1;
        }
    }
    return false;
}

[[noreturn]] void write_script(pid_t reader, int fd, int taken_fd,
                               const std::vector<const char *> &script)
{
    alarm(10);
    for (const char *step : script)
        if (step ? write(fd, step, strlen(step)) != static_cast<ssize_t>(strlen(step))
                 : !interrupt_when_asleep(reader, fd, taken_fd))
            _exit(1);
    _exit(0);
}

// Runs in a child: reads a pipe fed by the script, with SIGUSR1 handled
// without SA_RESTART so that each one fails the read under way (EINTR).
// Reports every line and how the writer and the stream ended on stderr.
void read_lines_through_signals(const std::vector<const char *> &script)
{
    alarm(10); // a regression fails instead of hanging
    int data[2];
    int taken[2];
    if (pipe(data) != 0 || pipe(taken) != 0)
        exit(3);
    signal_taken_fd = taken[1];
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigaction(SIGUSR1, &action, nullptr);
    const pid_t reader = getpid();
    const pid_t writer = fork();
    if (writer == 0) {
        close(data[0]);
        close(taken[1]); // a reader that dies ends the writer's wait
        write_script(reader, data[1], taken[0], script);
    }
    close(data[1]);
    close(taken[0]);
    FILE *in = fdopen(data[0], "r");
    char *line = nullptr;
    for (ssize_t n; (n = qo_getline(&line, in)) > 0; qo_free(&line))
        fprintf(stderr, "%zd:%s|", n, line);
    int status = -1;
    waitpid(writer, &status, 0);
    fprintf(stderr, "writer %d, stream error %d", status, ferror(in));
    exit(0);
}

struct SignalCase {
    std::vector<const char *> script;
    const char *lines; // as read_lines_through_signals() reports them
};

TEST(GetlineSignals, InterruptedReadsGoOnAndGiveWholeLines)
{
    const SignalCase cases[] = {
        {{interrupt, "one\n", "tail"}, "4:one\n|4:tail|"},
        {{"abc", interrupt, "def\n", "tail"}, "7:abcdef\n|4:tail|"},
        {{"ab", interrupt, "c", interrupt, interrupt, "d\ne"}, "5:abcd\n|1:e|"},
        {{"ta", interrupt, "il"}, "4:tail|"},
        {{"one\n", interrupt}, "4:one\n|"},
    };
    for (const auto &c : cases)
        EXPECT_EXIT(read_lines_through_signals(c.script), ExitedWithCode(0),
                    Eq(std::string(c.lines) + "writer 0, stream error 0"));
}

TEST_F(Mem, SetenvReplacesAnExistingValue)
{
    ASSERT_EQ(setenv("QO_TEST_HOME", "/home/x", 1), 0);
    EXPECT_EQ(qo_setenv("QO_TEST_HOME", "/tmp"), 0);
    EXPECT_STREQ(getenv("QO_TEST_HOME"), "/tmp");
    EXPECT_EQ(qo_setenv("QO_TEST_HOME", ""), 0);
    EXPECT_STREQ(getenv("QO_TEST_HOME"), "");
}

TEST_F(Mem, StrResetReplacesTheStringInTheSlot)
{
    char *s = nullptr;
    EXPECT_EQ(qo_str_reset(&s, "%d", 12), 2); // an empty slot is fine, and silent
    EXPECT_STREQ(s, "12");
    EXPECT_EQ(qo_str_reset(&s, "%s", "abc"), 3);
    EXPECT_STREQ(s, "abc");
    EXPECT_EQ(qo_str_reset(&s, "[%s]", s), 5); // the old string is an argument
    EXPECT_STREQ(s, "[abc]");
    qo_free(&s);
    EXPECT_EQ(logged(), "");
}

} // namespace
