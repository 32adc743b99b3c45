// qo_pipeline: real stages, real pipes, real signals.
#include "qo.h"
#include "support.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using qo_test::ScratchPath;
using Stage = std::vector<const char *>;

// Every test waits on processes: one that hangs is ended by SIGALRM.
class Pipeline : public testing::Test {
  protected:
    void SetUp() override { alarm(60); }
    void TearDown() override { alarm(0); }
};

struct Result {
    int status, error;
    std::vector<int> statuses;
    std::string out, err;
    long ms;
};

Result run(std::vector<Stage> stages, qo_run_options o = {}, bool capture = true)
{
    std::vector<const char *const *> all;
    for (Stage &s : stages) {
        s.push_back(nullptr);
        all.push_back(s.data());
    }
    all.push_back(nullptr);
    char *out = nullptr, *err = nullptr;
    if (capture)
        o.output = &out, o.errors = &err;
    Result r{0, 0, std::vector<int>(stages.size(), 7), "", "", 0};
    const auto start = std::chrono::steady_clock::now();
    r.status = qo_pipeline(all.data(), &o, r.statuses.data());
    r.error = errno;
    r.ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
    r.out = out ? out : "";
    r.err = err ? err : "";
    free(out);
    free(err);
    return r;
}

Stage sh(const char *script)
{
    return {"sh", "-c", script};
}

// ---- Data path ----------------------------------------------------------

TEST_F(Pipeline, EachStageFeedsTheNextAndStderrOfAllIsCaptured)
{
    const struct {
        std::vector<Stage> stages;
        const char *input, *out, *err;
    } rows[] = {
        {{{"printf", "b\\na\\n"}, {"sort"}}, nullptr, "a\nb\n", ""},
        {{{"tr", " ", "\\n"}, {"sort", "-r"}, {"head", "-2"}}, "x y z", "z\ny\n", ""},
        {{sh("echo one >&2; echo a"), sh("cat; echo two >&2")},
         nullptr,
         "a\n",
         "one\ntwo\n"},
        // Each stage holds its 0-2 and nothing else: ls adds 3, its folder.
        {{{"ls", "/proc/self/fd"}, sh("cat; ls /proc/self/fd")},
         nullptr,
         "0\n1\n2\n3\n0\n1\n2\n3\n",
         ""},
    };
    for (const auto &row : rows) {
        qo_run_options o{};
        o.input = row.input;
        const Result r = run(row.stages, o);
        EXPECT_EQ(r.status, 0) << row.out;
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.err, row.err);
    }
}

TEST_F(Pipeline, PipelinesInFourThreadsEachGetTheirOwnData)
{
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &wrong] {
            const std::string word = "thread" + std::to_string(t);
            for (int i = 0; i < 25; ++i) {
                const Result r = run({{"printf", word.c_str()}, {"cat"}, {"cat"}});
                wrong += r.status != 0 || r.out != word;
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(wrong, 0);
}

// ---- Statuses -----------------------------------------------------------

TEST_F(Pipeline, LastFailureCountsButNotTheBrokenPipeOfAnEarlyReader)
{
    const int pipe_killed = SIGPIPE; // as a wait status
    const struct {
        std::vector<Stage> stages;
        int status;
        std::vector<int> statuses;
    } rows[] = {
        {{{"false"}, {"true"}}, 1 << 8, {1 << 8, 0}},
        {{{"true"}, {"false"}}, 1 << 8, {0, 1 << 8}},
        {{sh("exit 3"), sh("cat; exit 5"), {"true"}}, 5 << 8, {3 << 8, 5 << 8, 0}},
        {{{"yes"}, {"head", "-1"}}, 0, {pipe_killed, 0}},
        {{{"yes"}, {"cat"}, {"head", "-1"}}, 0, {pipe_killed, pipe_killed, 0}},
        {{{"yes"}, sh("head -1 >/dev/null; exit 4")}, 4 << 8, {pipe_killed, 4 << 8}},
        // Nothing after it ended well: the broken pipe is a failure.
        {{{"true"}, sh("kill -PIPE $$")}, pipe_killed, {0, pipe_killed}},
    };
    for (const auto &row : rows) {
        const Result r = run(row.stages);
        EXPECT_EQ(r.status, row.status) << row.stages[0][0];
        EXPECT_EQ(r.statuses, row.statuses) << row.stages[0][0];
        EXPECT_LT(r.ms, 5000);
    }
}

TEST_F(Pipeline, StageThatCannotStartEndsTheOthers)
{
    const Result r = run({{"sleep", "30"}, {"no-such-qo-command"}, {"cat"}});
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.error, ENOENT);
    EXPECT_EQ(r.statuses, (std::vector<int>{SIGKILL, -1, -1}));
    EXPECT_LT(r.ms, 5000);
}

// ---- Files --------------------------------------------------------------

TEST_F(Pipeline, FilesAtEitherEndWithoutAShell)
{
    ScratchPath in, out, marker;
    qo_test::write_file(in.c_str(), "b\na\n");
    qo_run_options o{};
    o.input_file = in.c_str();
    o.output_file = out.c_str();
    EXPECT_EQ(run({{"sort"}, {"tr", "a-z", "A-Z"}}, o).status, 0);
    o.flags = QO_RUN_APPEND;
    EXPECT_EQ(run({{"cat"}, {"head", "-1"}}, o).status, 0);
    EXPECT_EQ(out.contents(), "A\nB\nb\n");

    o.input_file = "/no/such/qo/file";
    const std::string touch = std::string("touch ") + marker.c_str();
    const Result r = run({sh(touch.c_str()), {"cat"}}, o);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.error, ENOENT);
    struct stat st {};
    EXPECT_NE(stat(marker.c_str(), &st), 0) << "a stage started";
}

// ---- Deadline -----------------------------------------------------------

TEST_F(Pipeline, DeadlineEndsEveryStage)
{
    qo_run_options o{};
    o.timeout_ms = 300;
    const Result r =
        run({{"sleep", "30"}, sh("trap '' TERM; sleep 30"), {"sleep", "30"}}, o);
    EXPECT_EQ(r.error, ETIMEDOUT);
    EXPECT_EQ(r.statuses, (std::vector<int>{SIGTERM, SIGKILL, SIGTERM}));
    EXPECT_EQ(r.status, SIGTERM);
    EXPECT_LT(r.ms, 5000);
}

// ---- Logging ------------------------------------------------------------

TEST_F(Pipeline, LoggedLineIsAShellPipelineThatDoesTheSame)
{
    ScratchPath log, out, again;
    qo_log_open(log.c_str(), 5);
    qo_run_options o{};
    o.output_file = out.c_str();
    const char *shout[] = {"printf", "it's $HOME\\n", nullptr};
    const char *upper[] = {"tr", "a-z", "A-Z", nullptr};
    const char *yes[] = {"true", nullptr};
    const char *no[] = {"no-such-qo-command", nullptr};
    const char *const *to_file[] = {shout, upper, nullptr};
    const char *const *fails[] = {yes, no, nullptr};
    const int line = __LINE__ + 1;
    qo_pipeline(to_file, &o, nullptr);
    qo_pipeline(fails, nullptr, nullptr);
    qo_log_close();

    const std::string shown =
        "printf 'it'\\''s $HOME\\n' | tr a-z A-Z >" + std::string(out.c_str());
    const char *const expected[] = {
        "5 -",
        "5 printf: exited with status 0 | tr: exited with status 0 (N ms)",
        "5 true | no-such-qo-command",
        "4 Unable to run no-such-qo-command (stage 2 of 2): No such file or directory",
    };
    std::string want;
    for (const std::string e : expected)
        want += "DBG" + e.substr(0, 1) + ": tests/pipeline_test.cpp->qo_pipeline_int#" +
                std::to_string(line + (e[2] == 'p' || e[2] == '-' ? 0 : 1)) + ":" +
                (e[2] == '-' ? " " + shown : e.substr(1)) + "\n";
    EXPECT_EQ(
        std::regex_replace(log.contents(), std::regex("\\([0-9]+ ms\\)"), "(N ms)"),
        want);

    // The line, read back by a shell, writes the same file.
    const std::string redone = shown.substr(0, shown.rfind('>') + 1) + again.c_str();
    ASSERT_EQ(system(redone.c_str()), 0);
    EXPECT_EQ(again.contents(), out.contents());
    EXPECT_EQ(out.contents(), "IT'S $HOME\n");
}

} // namespace
