// What qo.hpp adds to the C routines: ownership of their strings, views
// that need not end in a NUL, and the caller's call site without a macro.
#include "qo.hpp"

#include "support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using qo_test::ScratchPath;
using testing::ContainsRegex;
using testing::ExitedWithCode;
using testing::HasSubstr;

TEST(CppText, OwnsOneStringAndHandsItOn)
{
    qo::text empty;
    EXPECT_FALSE(empty);
    EXPECT_STREQ(empty.c_str(), "");

    qo::text first(qo_shell_quote("a b"));
    qo::text second(std::move(first));
    EXPECT_FALSE(first); // NOLINT(bugprone-use-after-move): moved-from is empty
    EXPECT_EQ(std::string_view(second), "'a b'");

    qo::text third(qo_shell_quote("c"));
    third = std::move(second); // frees "'c'": the leak checker would see it
    EXPECT_STREQ(third.c_str(), "'a b'");

    char *mine = third.release();
    EXPECT_FALSE(third);
    qo_free(&mine);
}

TEST(CppText, ReceivesWhatACRoutineStoresInItsSlot)
{
    qo::text built;
    qo_asprintf(built.slot(), "%d", 1);
    qo_strcat(built.slot(), "+%d", 2);
    EXPECT_EQ(std::string_view(built), "1+2");
}

// Views into a larger text, without a NUL after them, short and long.
TEST(CppStrings, TakeViewsThatDoNotEndTheirText)
{
    const std::string whole = "[it's]";
    const std::string_view inner = std::string_view(whole).substr(1, 4);
    const std::string longer(300, 'x');

    EXPECT_EQ(qo::shell_quote(inner), R"('it'\''s')");
    EXPECT_EQ(qo::shell_quote(longer), "'" + longer + "'");
    EXPECT_EQ(qo::shell_quote(""), "''");
    // Bytes with the high bit set are no NUL, wherever they fall in a word.
    EXPECT_EQ(qo::shell_quote("\x80\xff\x01"
                              "caf\xC3\xA9 \x81\xfe"),
              "'\x80\xff\x01"
              "caf\xC3\xA9 \x81\xfe'");
    EXPECT_EQ(qo::stresc(inner, std::string_view("'$x", 1), '\\', '"'), R"(it\'s)");
    EXPECT_EQ(qo::substitute(inner, "'", "-"), "it-s");
    EXPECT_EQ(qo::status_text(-1), "could not be run");
}

struct SplitCase {
    std::string_view input, separators;
    std::vector<std::string> tokens;
};

TEST(CppStrings, SplitKeepsTheRulesOfQoStrtok)
{
    const SplitCase cases[] = {
        {"a,b,,", ",", {"a", "b", ""}},
        {",,a b", ", ", {"a", "b"}},
        {"", ",", {}},
        {std::string_view("x;y;z", 3), ";", {"x", "y"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(qo::split(c.input, c.separators), c.tokens) << c.input;
}

struct WordsCase {
    std::string_view text;
    std::vector<std::string_view> words, words_2, lines;
    std::string_view strip, lstrip, rstrip;
};

// Cut as Python cuts: split(None), split(None, 2), splitlines(), strip().
TEST(CppStrings, WordsLinesAndStripCutAsPythonDoes)
{
    using V = std::vector<std::string_view>;
    const WordsCase cases[] = {
        {"  a b  c d ",
         {"a", "b", "c", "d"},
         {"a", "b", "c d "},
         {"  a b  c d "},
         "a b  c d",
         "a b  c d ",
         "  a b  c d"},
        {"a\r\nb\rc\n",
         {"a", "b", "c"},
         {"a", "b", "c\n"},
         {"a", "b", "c"},
         "a\r\nb\rc",
         "a\r\nb\rc\n",
         "a\r\nb\rc"},
        {"", {}, {}, {}, "", "", ""},
        {" \t\v\f ", {}, {}, {" \t\v\f "}, "", "", ""},
        {"\n\nx", {"x"}, {"x"}, {"", "", "x"}, "x", "x", "\n\nx"},
        // UTF-8 intact: no byte of it is whitespace (U+00A0 is c2 a0).
        {"\u00e9t\u00e9 \u00a0\u2003",
         {"\u00e9t\u00e9", "\u00a0\u2003"},
         {"\u00e9t\u00e9", "\u00a0\u2003"},
         {"\u00e9t\u00e9 \u00a0\u2003"},
         "\u00e9t\u00e9 \u00a0\u2003",
         "\u00e9t\u00e9 \u00a0\u2003",
         "\u00e9t\u00e9 \u00a0\u2003"},
    };
    for (const WordsCase &c : cases) {
        EXPECT_EQ(qo::words(c.text), c.words) << c.text;
        EXPECT_EQ(qo::words(c.text, 2), c.words_2) << c.text;
        EXPECT_EQ(qo::lines(c.text), c.lines) << c.text;
        EXPECT_EQ(qo::strip(c.text), c.strip) << c.text;
        EXPECT_EQ(qo::lstrip(c.text), c.lstrip) << c.text;
        EXPECT_EQ(qo::rstrip(c.text), c.rstrip) << c.text;
        EXPECT_EQ(qo::join(qo::words(c.text), " "), qo::join(c.words, " "));
    }
    EXPECT_EQ(qo::words(" a  b ", 0), V{"a  b "});
    EXPECT_EQ(qo::join(std::vector<std::string>{"x", "y", "z"}, ", "), "x, y, z");
    EXPECT_EQ(qo::join({"only"}, "-"), "only");
    static_assert(qo::strip(" x ") == "x");
}

TEST(CppFormat, PassesStringsAsCText)
{
    const std::string name = "cart";
    char buffer[] = "array";
    EXPECT_EQ(qo::format("%s %s %zu %.1f %c%%", name, buffer, name.size(), 0.5, 'x'),
              "cart array 4 0.5 x%");
    EXPECT_EQ(qo::format("plain"), "plain");
    enum class small : unsigned char { seven = 7 };
    EXPECT_EQ(qo::format("%d", small::seven), "7");
}

// The alarm ends a run that hangs instead of the whole suite.
class CppLog : public testing::Test {
  protected:
    void SetUp() override
    {
        alarm(60);
        qo_log_open(log.c_str(), 8);
    }
    void TearDown() override
    {
        qo_log_close();
        alarm(0);
    }
    std::string logged()
    {
        qo_log_close();
        return log.contents();
    }
    ScratchPath log;
};

TEST_F(CppLog, EntryNamesTheCallersFileFunctionAndLine)
{
    const int line = __LINE__ + 1;
    qo::log(2, "%s has %d", std::string("cart"), 3);
    qo::log(9, "dropped %d", 1); // above the level
    const std::string entry = logged();
    EXPECT_THAT(entry, testing::StartsWith(std::string("DBG2: ") + __FILE__ + "->"));
    EXPECT_THAT(entry, HasSubstr("TestBody"));
    EXPECT_THAT(entry,
                testing::EndsWith("#" + std::to_string(line) + ": cart has 3\n"));
}

TEST_F(CppLog, StampsCombineAsFlags)
{
    qo::log_stamp(qo::log_stamps::pid | qo::log_stamps::continued);
    qo::log(1, "%s", "a\nb");
    qo::log_stamp(qo::log_stamps::none);
    EXPECT_THAT(logged(), testing::MatchesRegex("\\[[0-9]+\\] DBG1: .*: a\n  \\| b\n"));
}

// A NUL in a view would cut the text short: refused, as C refuses NULL,
// with the caller's call site in the log.
struct Refusal {
    std::function<void()> call;
    const char *message;
};

using CppLogDeath = CppLog;

TEST_F(CppLogDeath, NulByteEndsTheProcess)
{
    using namespace std::string_view_literals;
    const Refusal refusals[] = {
        {[] { qo::shell_quote("a\0b"sv); }, "qo::shell_quote: NUL byte in input"},
        {[] { qo::stresc("a", "$\0"sv, '\\', '"'); },
         "qo::stresc: NUL byte in specials"},
        {[] { qo::split("a\0b"sv, ","); }, "qo::split: NUL byte in input"},
        {[] { qo::substitute("a", "b", "\0"sv); },
         "qo::substitute: NUL byte in replacement"},
        {[] { qo::setenv("A\0B"sv, "1"); }, "qo::setenv: NUL byte in name"},
        // In the middle of a short text, and in a long one.
        {[] { qo::shell_quote("abcdefghij\0klmnopq"sv); },
         "qo::shell_quote: NUL byte in input"},
        {[] { qo::split(std::string(200, 'a') + '\0', ","); },
         "qo::split: NUL byte in input"},
    };
    for (const auto &r : refusals)
        EXPECT_EXIT(r.call(), ExitedWithCode(255),
                    testing::ResultOf(qo_test::without_sanitizer_notes,
                                      testing::Eq(std::string(r.message) + "\n")));

    const int line = __LINE__ + 1;
    EXPECT_EXIT(qo::shell_quote("\0"sv), ExitedWithCode(255), "");
    EXPECT_THAT(logged(),
                HasSubstr("#" + std::to_string(line) +
                          ": qo::shell_quote: NUL byte in input\nExiting...\n"));
}

using CppRun = CppLog;

TEST_F(CppRun, TimedOutComesFromTheRunAndTheLogFromTheCaller)
{
    using namespace std::chrono_literals;
    const int line = __LINE__ + 1;
    const qo::run_result slept = qo::run({"sleep", "5"}, {.timeout = 50ms});
    EXPECT_TRUE(slept.timed_out);
    // The same status, but the command's own doing.
    const qo::run_result killed = qo::run({"sh", "-c", "kill $$"}, {.timeout = 10s});
    EXPECT_EQ(killed.status, slept.status);
    EXPECT_FALSE(killed.timed_out);

    const qo::run_result missing = qo::run({"/no/such/command"});
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(missing.why, "Unable to run /no/such/command: No such file or directory");
    EXPECT_EQ(missing.describe(), "could not be run: " + missing.why);
    EXPECT_EQ(killed.why, "");
    EXPECT_EQ(killed.describe(), "killed by signal 15 (Terminated)");
    EXPECT_THAT(logged(),
                ContainsRegex(std::string(__FILE__) + "->[^#]*TestBody[^#]*#" +
                              std::to_string(line) + ": sleep 5 # pid "));
}

struct Converted {
    qo::run_result got;
    std::string_view output{}, errors{};
};

TEST_F(CppRun, OptionsReachTheCommand)
{
    using namespace std::chrono_literals;
    using namespace std::string_view_literals;
    const char *both = "echo out; echo err >&2";
    const char *trapping = "trap 'echo int; exit 0' INT; while :; do sleep 0.05; done";
    std::string echo = "echo", a = "a";
    std::vector<char *> argv{echo.data(), a.data(), nullptr}; // main's kind
    ScratchPath in, out, replaced, both_fds;
    qo_test::write_file(in.c_str(), "filed\n");
    const int in_fd = open(in.c_str(), O_RDONLY | O_CLOEXEC),
              out_fd = open(both_fds.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const char *session =
        "test $(ps -o sid= -p $$) = $$ && umask && ulimit -n && cat <&";
    const Converted cases[] = {
        {qo::run({std::string_view("echo!", 4), "x"}, {.capture_output = true}), "x\n"},
        {qo::run(std::vector<std::string>{"printf", "%s", "a b"},
                 {.capture_output = true}),
         "a b"},
        {qo::run({"sh", "-c", "printf %s $A/${HOME-none}"},
                 {.capture_output = true, .env = {"A=1", "HOME"}}),
         "1/none"},
        {qo::run({"pwd"}, {.capture_output = true, .dir = "/"}), "/\n"},
        {qo::run({"cat"}, {.input = "typed", .capture_output = true}), "typed"},
        {qo::run({"sh", "-c", both}, {.capture_output = true, .capture_errors = true}),
         "out\n", "err\n"},
        {qo::run({"sh", "-c", both}, {.merge_errors = true}), "out\nerr\n"},
        {qo::run({"cat"}, {.input_file = in.c_str(), .output_file = out.c_str()})},
        {qo::run({"cat"}, {.input_file = in.c_str(),
                           .output_file = out.c_str(),
                           .append_output = true})},
        {qo::run(argv.data(), {.capture_output = true}), "a\n"},
        // Every byte, NUL bytes included, whichever slot takes them.
        {qo::run({"printf", "a\\0b"}, {.capture_output = true}), "a\0b"sv},
        {qo::run({"sh", "-c", "printf 'a\\0b' >&2; printf 'c\\0'"},
                 {.capture_output = true, .capture_errors = true}),
         "c\0"sv, "a\0b"sv},
        {qo::run({"sh", "-c", "printf '\\0'; printf '\\0\\0' >&2"},
                 {.merge_errors = true}),
         "\0\0\0"sv},
        {qo::run({"env"}, {.capture_output = true,
                           .env = {"PATH=/usr/bin:/bin"},
                           .clear_env = true}),
         "PATH=/usr/bin:/bin\n"},
        {qo::run({"sh", "-c", "cat; echo err >&2"}, {.capture_output = true,
                                                     .input_fd = in_fd,
                                                     .output_fd = out_fd,
                                                     .errors_fd = out_fd})},
        {qo::run({"sh", "-c", session + std::to_string(in_fd)},
                 {.capture_output = true,
                  .pass_fds = {in_fd},
                  .new_session = true,
                  .umask = 027,
                  .limits = {{RLIMIT_NOFILE, 64, 64}}}),
         "0027\n64\n"},
    };
    for (const auto &c : cases) {
        EXPECT_TRUE(c.got.ok()) << c.output;
        EXPECT_EQ(c.got.output, c.output);
        EXPECT_EQ(c.got.errors, c.errors) << c.output;
    }
    EXPECT_EQ(out.contents(), "filed\nfiled\n");
    EXPECT_EQ(both_fds.contents(), "filed\nerr\n");
    close(in_fd);
    close(out_fd);
    // SIGINT first, which the script traps, exiting 0: cut short all the
    // same, and no success; SIGTERM would have killed it.
    const qo::run_result cut = qo::run({"sh", "-c", trapping}, {.capture_output = true,
                                                                .timeout = 200ms,
                                                                .stop_signal = SIGINT,
                                                                .grace = 200ms});
    EXPECT_FALSE(cut.ok());
    EXPECT_EQ(cut.output, "int\n");
    EXPECT_EQ(cut.describe(), "deadline reached: killed by signal 2 (Interrupt)");
    const qo::run_options replace{.output_file = replaced.c_str(),
                                  .replace_output = true};
    qo_test::write_file(replaced.c_str(), "old\n");
    EXPECT_FALSE(qo::run({"sh", "-c", "echo half; exit 1"}, replace).ok());
    EXPECT_EQ(replaced.contents(), "old\n");
    EXPECT_TRUE(qo::run({"echo", "whole"}, replace).ok());
    EXPECT_EQ(replaced.contents(), "whole\n");
}

TEST_F(CppRun, PipelineGivesEveryStagesStatus)
{
    const int line = __LINE__ + 1;
    const qo::run_result failed = qo::pipeline({{"false"}, {"tr", "a", "b"}});
    EXPECT_EQ(failed.status, 256);
    const qo::run_result apart = qo::pipeline(
        {{"sh", "-c", "echo no >&2; exit 2"}, {"sh", "-c", "cat; echo ok >&2"}},
        {.capture_errors = true, .capture_stage_errors = true});
    EXPECT_EQ(apart.stage_errors, (std::vector<std::string>{"no\n", "ok\n"}));
    EXPECT_EQ(apart.errors, "");
    EXPECT_EQ(failed.statuses, (std::vector<int>{256, 0}));
    EXPECT_THAT(logged(), ContainsRegex("->[^#]*TestBody[^#]*#" + std::to_string(line) +
                                        ": false \\| tr a b # pids "));
    const qo::run_result piped =
        qo::pipeline({{"printf", "a\nb\n"}, {"tr", "a", "c"}, {"head", "-1"}},
                     {.capture_output = true});
    EXPECT_TRUE(piped.ok());
    EXPECT_EQ(piped.output, "c\n");
    EXPECT_EQ(piped.statuses.size(), 3U);
}

TEST_F(CppRun, CallbacksTakeLinesAndFeedInput)
{
    std::vector<std::string> lines;
    std::string errors;
    const auto keep = [&lines](std::string_view line) { lines.emplace_back(line); };
    const qo::run_result both = qo::run({"sh", "-c", "printf 'a\\nb\\rc'; echo e >&2"},
                                        {.capture_output = true,
                                         .on_output = keep,
                                         .on_errors = [&](std::string_view line) {
                                             errors += line;
                                             return true;
                                         }});
    EXPECT_TRUE(both.ok());
    EXPECT_EQ(lines, (std::vector<std::string>{"a\n", "b\r", "c"}));
    EXPECT_EQ(both.output, "a\nb\rc");
    EXPECT_EQ(errors, "e\n");

    // 1 MiB made as the command takes it, never held whole.
    std::size_t left = std::size_t{1} << 20;
    const qo::run_result counted =
        qo::run({"wc", "-c"}, {.capture_output = true,
                               .on_input = [&](char *buffer, std::size_t room) {
                                   const std::size_t put = std::min(room, left);
                                   std::memset(buffer, 'x', put);
                                   left -= put;
                                   return put;
                               }});
    EXPECT_EQ(counted.output, "1048576\n");

    // A stop from either kind ends a command that would run for a minute.
    const auto started = std::chrono::steady_clock::now();
    const qo::run_result stops[] = {
        qo::run({"sh", "-c", "echo go; exec sleep 60"},
                {.on_output = [](std::string_view) { return false; }}),
        qo::run({"sleep", "60"},
                {.on_input = [](char *, std::size_t) { return qo::stop_run; }}),
    };
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    for (const qo::run_result &stopped : stops) {
        EXPECT_TRUE(stopped.stopped);
        EXPECT_EQ(stopped.error, ECANCELED);
        EXPECT_TRUE(WIFSIGNALED(stopped.status));
    }
}

struct WholeLines {
    const char *command;
    bool partial;
    std::vector<std::pair<std::string, bool>> lines; // text, complete
};

// A callable taking qo::line gets whole lines without their endings,
// \r\n as one; with partial_lines the line so far, then the line complete.
TEST_F(CppRun, WholeLinesComeWithoutTheirEndings)
{
    const WholeLines rows[] = {
        {"printf 'a\\r\\nb\\rc\\n\\nd'",
         false,
         {{"a", true}, {"b", true}, {"c", true}, {"", true}, {"d", false}}},
        {"printf 50%%; sleep 0.3; printf '\\r100%%\\r\\n'",
         true,
         {{"50%", false}, {"50%", true}, {"100%", true}}},
        // A line in two pieces, the second going on with the first.
        {"printf ab; sleep 0.3; printf 'cd\\n'", true, {{"ab", false}, {"abcd", true}}},
    };
    for (const WholeLines &row : rows) {
        std::vector<std::pair<std::string, bool>> got;
        const qo::run_result ran = qo::run(
            {"sh", "-c", row.command},
            {.on_output =
                 [&](const qo::line &l) { got.emplace_back(l.text, l.complete); },
             .partial_lines = row.partial});
        EXPECT_TRUE(ran.ok());
        EXPECT_EQ(got, row.lines) << row.command;
    }

    // dd's report, led by \r and ended by \n once dd is done: seen whole
    // while dd waits for its input, then again complete.
    std::vector<std::pair<std::string, bool>> reports;
    const qo::run_result dd = qo::run(
        {"sh", "-c",
         "{ printf x; sleep 1.2; printf y; sleep 0.3; } | dd of=/dev/null bs=1 "
         "status=progress"},
        {.env = {"LC_ALL=C"},
         .on_errors =
             [&](const qo::line &l) { reports.emplace_back(l.text, l.complete); },
         .partial_lines = true});
    EXPECT_TRUE(dd.ok());
    ASSERT_GE(reports.size(), 4U);
    EXPECT_EQ(reports[0], std::make_pair(std::string(), true));
    EXPECT_THAT(reports[1].first, testing::MatchesRegex("2 bytes copied, .* s, .*/s"));
    EXPECT_FALSE(reports[1].second);
    EXPECT_EQ(reports[2], std::make_pair(reports[1].first, true));
    EXPECT_EQ(reports[3], std::make_pair(std::string("2+0 records in"), true));
}

struct Interrupted {
    qo::run_result got;
    bool interrupted;
};

// Ctrl-C or Ctrl-\ ended a stage; another signal, or none, is no interrupt.
TEST_F(CppRun, InterruptedSaysASignalFromTheKeyboardEndedIt)
{
    const Interrupted rows[] = {
        {qo::run({"sh", "-c", "kill -INT $$"}), true},
        {qo::run({"sh", "-c", "kill -QUIT $$"}), true},
        {qo::run({"sh", "-c", "kill -TERM $$"}), false},
        {qo::run({"sh", "-c", "exit 130"}), false},
        {qo::pipeline({{"sh", "-c", "kill -INT $$"}, {"cat"}}), true},
        {qo::run({"no-such-qo-command"}), false},
    };
    for (const Interrupted &row : rows)
        EXPECT_EQ(row.got.interrupted(), row.interrupted) << row.got.describe();
}

// Each stage's stderr lines with the stage's index, in either form, and
// captured apart at once; errors gets none of it.
TEST_F(CppRun, StageErrorsComeWithTheirStage)
{
    const std::vector<std::vector<std::string>> stages = {
        {"sh", "-c", "echo a >&2; echo b >&2; echo x"},
        {"sh", "-c", "cat; echo c >&2"}};
    std::vector<std::pair<std::size_t, std::string>> views, lines;
    const qo::run_result viewed = qo::pipeline(
        stages, {.capture_errors = true,
                 .on_stage_errors = [&](std::size_t stage, std::string_view l) {
                     views.emplace_back(stage, l);
                 }});
    const qo::run_result whole = qo::pipeline(
        stages, {.capture_stage_errors = true,
                 .on_stage_errors = [&](std::size_t stage, const qo::line &l) {
                     lines.emplace_back(stage, l.text);
                     return l.text != "c";
                 }});
    using Seen = std::vector<std::pair<std::size_t, std::string>>;
    EXPECT_EQ(views, (Seen{{0, "a\n"}, {0, "b\n"}, {1, "c\n"}}));
    EXPECT_EQ(viewed.errors, "");
    EXPECT_EQ(lines, (Seen{{0, "a"}, {0, "b"}, {1, "c"}}));
    EXPECT_EQ(whole.stage_errors, (std::vector<std::string>{"a\nb\n", "c\n"}));
}

// What a callback throws comes out of qo::run once the command has ended,
// and the callback is not called again.
TEST_F(CppRun, ExceptionFromACallbackComesOutAfterTheRun)
{
    int calls = 0;
    pid_t shell = 0;
    try {
        qo::run({"sh", "-c", "echo $$; echo more; exec sleep 60"},
                {.on_output = [&](std::string_view line) -> bool {
                    calls++;
                    shell = std::stoi(std::string(line));
                    throw std::runtime_error("enough");
                }});
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "enough");
        EXPECT_EQ(kill(shell, 0), -1) << "still running";
        EXPECT_EQ(errno, ESRCH);
    }
    EXPECT_EQ(calls, 1);
    EXPECT_THROW(qo::run({"cat"}, {.on_input = [](char *, std::size_t) -> std::size_t {
                             throw std::length_error("input");
                         }}),
                 std::length_error);
}

// Built without exceptions, a callback cannot catch what the standard
// library throws in it: the process ends with the runtime's message.
TEST_F(CppRun, WithoutExceptionsAThrowInACallbackEndsTheProcess)
{
    const qo::run_result ended =
        qo::run({QO_NO_EXCEPTIONS_PROGRAM}, {.capture_errors = true});
    EXPECT_TRUE(WIFSIGNALED(ended.status) && WTERMSIG(ended.status) == SIGABRT)
        << ended.describe();
    EXPECT_THAT(ended.errors, HasSubstr("std::out_of_range"));
}

using CppRunDeath = CppLog;

TEST_F(CppRunDeath, NulByteEndsTheProcess)
{
    using namespace std::string_literals;
    const std::string nul = "a\0b"s;
    const auto says = [](const std::string &what) {
        return testing::ResultOf(qo_test::without_sanitizer_notes,
                                 testing::Eq("qo::run: NUL byte in " + what + "\n"));
    };
    EXPECT_EXIT(qo::run({"echo", nul}), ExitedWithCode(255), says("argv"));
    EXPECT_EXIT(qo::run(std::vector<std::string>{nul}), ExitedWithCode(255),
                says("argv"));
    EXPECT_EXIT(qo::pipeline({{"true"}, {"echo", nul}}), ExitedWithCode(255),
                testing::ResultOf(qo_test::without_sanitizer_notes,
                                  testing::Eq("qo::pipeline: NUL byte in argv\n")));
    const std::pair<qo::run_options, std::string> refusals[] = {
        {{.input = nul}, "input"},
        {{.dir = nul}, "dir"},
        {{.env = {"A=1", nul}}, "env"},
        {{.input_file = nul}, "input_file"},
        {{.output_file = nul}, "output_file"},
    };
    for (const auto &[options, what] : refusals)
        EXPECT_EXIT(qo::run({"true"}, options), ExitedWithCode(255), says(what));
}

using CppJob = CppLog;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A wait that runs out gives nothing and loses nothing; the job moves in
// between, its callback still called, and the next wait has it all.
TEST_F(CppJob, WaitThatRunsOutResumesAndAMovedJobKeepsItsCallbacks)
{
    std::vector<std::string> lines;
    const auto keep = [&](std::string_view l) { lines.emplace_back(l); };
    const int line = __LINE__ + 1;
    qo::job held = qo::start({"sh", "-c", "echo a; sleep 1; echo b"},
                             {.capture_output = true, .on_output = keep});
    const auto started = Clock::now();
    EXPECT_FALSE(held.wait(100ms));
    EXPECT_GE(Clock::now() - started, 100ms);
    EXPECT_LT(Clock::now() - started, 300ms);
    qo::job moved = std::move(held);
    EXPECT_FALSE(held); // NOLINT(bugprone-use-after-move): moved-from holds none
    const qo::run_result whole = moved.wait();
    EXPECT_TRUE(whole.ok());
    EXPECT_EQ(whole.output, "a\nb\n");
    EXPECT_EQ(lines, (std::vector<std::string>{"a\n", "b\n"}));
    EXPECT_EQ(moved.wait(0ms)->output, whole.output);
    EXPECT_THAT(logged(), ContainsRegex("->[^#]*TestBody[^#]*#" + std::to_string(line) +
                                        ": sh -c 'echo a; sleep 1; echo b' # pid "));
}

// A dialogue: the second line written from the callback that read the
// reply to the first; then the command has gone, and a write says so.
TEST_F(CppJob, DialogueWritesEachLineAfterTheReply)
{
    std::string heard;
    qo::job talk;
    talk = qo::start({"sh", "-c", "read x; echo got $x; read y; echo got $y"},
                     {.on_output =
                          [&](std::string_view line) {
                              heard += line;
                              if (line == "got 1\n") {
                                  EXPECT_FALSE(talk.write("2\n") || talk.close_input());
                              }
                          },
                      .input_pipe = true});
    EXPECT_FALSE(talk.write("1\n"));
    EXPECT_TRUE(talk.wait().ok());
    EXPECT_EQ(heard, "got 1\ngot 2\n");
    EXPECT_EQ(talk.write("3\n"), std::errc::broken_pipe);
    EXPECT_EQ(qo::start({"true"}).write("x"), std::errc::invalid_argument);
}

// A silent command waited for in one thread, stopped from another.
TEST_F(CppJob, StopFromAnotherThreadEndsASilentWait)
{
    qo::job slept = qo::start({"sleep", "60"});
    Clock::time_point asked;
    std::thread stopper([&] {
        std::this_thread::sleep_for(200ms);
        asked = Clock::now();
        slept.stop();
    });
    const qo::run_result stopped = slept.wait();
    const auto ended = Clock::now();
    stopper.join();
    EXPECT_LT(ended - asked, 100ms);
    EXPECT_TRUE(stopped.stopped);
    EXPECT_EQ(stopped.error, ECANCELED);
    EXPECT_EQ(slept.signal(SIGUSR1), std::errc::no_such_process);
}

// A job that goes while its command runs stops it and reaps it, without
// calling its callback, whose captures may be gone; what a callback threw
// comes out of each wait.
TEST_F(CppJob, EndOfARunningJobLeavesNoZombieAndCallsNoCallback)
{
    int calls = 0;
    pid_t shell = 0;
    const auto started = Clock::now();
    {
        const qo::job left =
            qo::start({"sh", "-c", "echo x; exec sleep 60"},
                      {.on_output = [&](std::string_view) { calls++; }});
        shell = left.pid();
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_LT(Clock::now() - started, 1s);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(kill(shell, 0), -1);

    qo::job thrown = qo::start({"sh", "-c", "echo x; exec sleep 60"},
                               {.on_output = [](std::string_view) -> bool {
                                   throw std::runtime_error("enough");
                               }});
    EXPECT_THROW(thrown.wait(), std::runtime_error);
    EXPECT_THROW(thrown.wait(), std::runtime_error);
}

struct Outcome {
    qo::run_result got;
    int status;
    std::vector<int> statuses;
    std::string why;
};

// What a held job's wait gives, as qo::run would: a pipeline's statuses,
// a command that could not start; and what holds no job at all.
TEST_F(CppJob, WaitGivesWhatQoRunGives)
{
    qo::job missing = qo::start({"no-such-qo-command"});
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.pid(), -1);
    EXPECT_TRUE(missing.serve());
    const Outcome outcomes[] = {
        {qo::pipeline_start({{"false"}, {"tr", "a", "b"}}).wait(), 256, {256, 0}, ""},
        {qo::pipeline_start({{"echo", "a"}, {"sh", "-c", "cat; exit 3"}},
                            {.capture_output = true})
             .wait(),
         3 << 8,
         {0, 3 << 8},
         ""},
        {missing.wait(),
         -1,
         {},
         "Unable to run no-such-qo-command: No such file or directory"},
        {qo::run({"cat"}, {.input_pipe = true}),
         -1,
         {},
         "qo::run: input_pipe needs a held job (qo::start)"},
        {qo::job().wait(),
         -1,
         {},
         "qo::job: no command held (moved from, or made empty)"},
    };
    EXPECT_TRUE(missing.failed());
    EXPECT_FALSE(qo::job().failed());
    EXPECT_FALSE(qo::start({"true"}).failed());
    for (const Outcome &o : outcomes) {
        EXPECT_EQ(o.got.status, o.status) << o.why;
        EXPECT_EQ(o.got.statuses, o.statuses) << o.why;
        EXPECT_EQ(o.got.why, o.why);
    }
}

// The duration, from the start to the end: a held job's the library's
// own, whenever the end is waited for.
TEST_F(CppJob, DurationCountsFromTheStartToTheEnd)
{
    const qo::run_result ran = qo::run({"sleep", "0.2"});
    EXPECT_GE(ran.duration, 200ms);
    EXPECT_LT(ran.duration, 1s);
    qo::job held = qo::start({"sleep", "0.2"});
    while (!held.serve(-1ms))
        ;
    std::this_thread::sleep_for(300ms);
    const qo::run_result waited = held.wait();
    EXPECT_GE(waited.duration, 200ms);
    EXPECT_LT(waited.duration, 450ms);
    EXPECT_EQ(held.wait().duration, waited.duration);
}

struct Handed {
    std::size_t key;
    bool held;  // the job handed back holds a command
    int status; // its result's
    std::string why;
};

// Each job handed back once, as it ends: one that could not start and
// one that holds nothing first, then the others in the order they end,
// one added from inside the loop among them; the set's fd tells when.
TEST_F(CppJob, JobSetHandsBackEachJobAsItEnds)
{
    qo::job_set set;
    EXPECT_FALSE(set.wait(0ms));
    EXPECT_EQ(errno, ENOENT);
    for (const char *seconds : {"0.3", "0.1"})
        set.add(qo::start({"sleep", seconds}));
    set.add(qo::start({"no-such-qo-command"}));
    set.add(qo::job());
    EXPECT_EQ(set.size(), 4U);
    pollfd ready = {set.fd(), POLLIN, 0};
    EXPECT_EQ(poll(&ready, 1, 2000), 1);

    std::vector<Handed> handed;
    for (auto &[key, job, result] : set) {
        handed.push_back({key, static_cast<bool>(job), result.status, result.why});
        if (key == 1) {
            set.add(qo::start({"sh", "-c", "sleep 0.1; exit 4"}));
            EXPECT_FALSE(set.wait(0ms));
            EXPECT_EQ(errno, EAGAIN);
        }
    }
    const Handed expected[] = {
        {2, false, -1, "Unable to run no-such-qo-command: No such file or directory"},
        {3, false, -1, "qo::job: no command held (moved from, or made empty)"},
        {1, true, 0, ""},
        {4, true, 4 << 8, ""},
        {0, true, 0, ""},
    };
    ASSERT_EQ(handed.size(), std::size(expected));
    for (std::size_t i = 0; i < handed.size(); ++i) {
        EXPECT_EQ(handed[i].key, expected[i].key) << i;
        EXPECT_EQ(handed[i].held, expected[i].held) << i;
        EXPECT_EQ(handed[i].status, expected[i].status) << i;
        EXPECT_EQ(handed[i].why, expected[i].why) << i;
    }
    EXPECT_TRUE(set.empty());

    // stop() reaches every job; each comes back stopped.
    for (int i = 0; i < 3; ++i)
        set.add(qo::start({"sleep", "60"}));
    const auto asked = Clock::now();
    set.stop();
    int stopped = 0;
    for (auto &ended : set)
        stopped += ended.result.stopped;
    EXPECT_EQ(stopped, 3);
    EXPECT_LT(Clock::now() - asked, 1s);
}

// With partial_lines a line's text so far comes once the stream goes
// quiet, and what follows goes on with it.
TEST_F(CppJob, PartialLinesShowAnUnendedLine)
{
    const char *drawn = "printf 50%%; sleep 0.3; printf '\\r100%%\\n'";
    const std::pair<bool, std::vector<std::string>> rows[] = {
        {false, {"50%\r", "100%\n"}},
        {true, {"50%", "\r", "100%\n"}},
    };
    for (const auto &[partial, expected] : rows) {
        std::vector<std::string> pieces;
        qo::start(
            {"sh", "-c", drawn},
            {.on_output = [&](std::string_view piece) { pieces.emplace_back(piece); },
             .partial_lines = partial})
            .wait();
        EXPECT_EQ(pieces, expected) << partial;
    }
}

} // namespace
