// qo_pipeline: real stages, real pipes, real signals.
#include "qo.h"
#include "support.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using qo_test::ScratchPath;
using Stage = std::vector<const char *>;

class Pipeline : public qo_test::Bounded<60> {};

struct Result {
    int status, error;
    std::vector<int> statuses;
    std::string out, err;
    std::chrono::steady_clock::duration took;
};

Result run(std::vector<Stage> stages, qo_run_options o = {})
{
    std::vector<const char *const *> all;
    for (Stage &s : stages)
        s.push_back(nullptr), all.push_back(s.data());
    all.push_back(nullptr);
    char *out = nullptr, *err = nullptr;
    if (!o.output_file)
        o.output = &out, o.errors = &err;
    Result r{0, 0, std::vector<int>(stages.size(), 7), "", "", {}};
    const auto start = std::chrono::steady_clock::now();
    r.status = qo_pipeline(all.data(), &o, r.statuses.data());
    r.error = errno;
    r.took = std::chrono::steady_clock::now() - start;
    r.out = out ? out : "", r.err = err ? err : "";
    free(out), free(err);
    return r;
}

Stage sh(const char *script)
{
    return {"sh", "-c", script};
}

// From four threads at once, each pipeline gets its own data.
TEST_F(Pipeline, DataPathEachStageFeedsTheNextAndAllStderrIsCaptured)
{
    const struct {
        std::vector<Stage> stages;
        const char *input, *out, *err;
    } rows[] = {
        {{{"tr", " ", "\\n"}, {"sort", "-r"}, {"head", "-2"}}, "x y z", "z\ny\n", ""},
        {{sh("echo 1 >&2; echo a"), sh("cat; echo 2 >&2")}, nullptr, "a\n", "1\n2\n"},
        // Each stage holds its 0-2 and nothing else: ls adds 3, its folder.
        {{{"ls", "/proc/self/fd"}, sh("cat; ls /proc/self/fd")},
         nullptr,
         "0\n1\n2\n3\n0\n1\n2\n3\n",
         ""},
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&rows] {
            for (const auto &row : rows) {
                qo_run_options o{};
                o.input = row.input;
                const Result r = run(row.stages, o);
                EXPECT_EQ(r.status, 0);
                EXPECT_EQ(r.out, row.out);
                EXPECT_EQ(r.err, row.err);
            }
        });
    for (auto &t : threads)
        t.join();
}

TEST_F(Pipeline, StatusesLastFailureCountsNotTheBrokenPipeOfAnEarlyReader)
{
    const int pipe = SIGPIPE, kill = SIGKILL; // as wait statuses
    const struct {
        std::vector<Stage> stages;
        int status;
        std::vector<int> statuses;
    } rows[] = {
        {{{"false"}, {"true"}}, 1 << 8, {1 << 8, 0}},
        {{sh("exit 3"), sh("cat; exit 5"), {"true"}}, 5 << 8, {3 << 8, 5 << 8, 0}},
        {{{"yes"}, {"cat"}, {"head", "-1"}}, 0, {pipe, pipe, 0}},
        {{{"yes"}, sh("head -1 >/dev/null; exit 4")}, 4 << 8, {pipe, 4 << 8}},
        {{{"true"}, sh("kill -PIPE $$")}, pipe, {0, pipe}}, // nothing after it
        {{{"sleep", "30"}, {"no-such-qo-command"}, {"cat"}}, -1, {kill, -1, -1}},
    };
    for (const auto &row : rows) {
        const Result r = run(row.stages);
        EXPECT_EQ(r.status, row.status) << row.stages[0][0];
        EXPECT_EQ(r.statuses, row.statuses) << row.stages[0][0];
        EXPECT_LT(r.took, std::chrono::seconds(5));
    }
}

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

    o.input_file = "/no/such/qo/file"; // nothing starts
    const Result r = run({{"touch", marker.c_str()}, {"cat"}}, o);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.error, ENOENT);
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
}

// A stage that moved to a group of its own (timeout, setsid) is signalled
// by its pid and through its group: its children go with it.
TEST_F(Pipeline, DeadlineEndsEveryStageWhicheverGroupItMovedTo)
{
    const struct {
        std::vector<Stage> stages;
        std::vector<int> statuses;
        long at_most_ms;
    } rows[] = {
        {{{"sleep", "30"}, sh("trap '' TERM; sleep 30"), {"sleep", "30"}},
         {SIGTERM, SIGKILL, SIGTERM},
         2500},
        {{{"true"}, {"timeout", "5", "sleep", "5"}}, {0, SIGTERM}, 1100},
        {{{"true"}, {"setsid", "sleep", "5"}, {"cat"}}, {0, SIGTERM, SIGTERM}, 1100},
        {{{"true"}, {"setsid", "sh", "-c", "sleep 5 & wait"}}, {0, SIGTERM}, 1100},
    };
    for (const auto &row : rows) {
        qo_run_options o{};
        o.timeout_ms = 300;
        const Result r = run(row.stages, o);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(r.took).count();
        EXPECT_EQ(r.error, ETIMEDOUT) << row.stages[1][0];
        EXPECT_EQ(r.statuses, row.statuses) << row.stages[1][0];
        EXPECT_LT(ms, row.at_most_ms) << row.stages[1][0];
    }
}

TEST_F(Pipeline, LoggedLineIsAShellPipelineThatDoesTheSame)
{
    ScratchPath log, out, again;
    qo_log_open(log.c_str(), 5);
    qo_run_options o{};
    o.output_file = out.c_str();
    const char *shout[] = {"printf", "it's $HOME\\n", nullptr};
    const char *upper[] = {"tr", "a-z", "A-Z", nullptr};
    const char *no[] = {"no-such-qo-command", nullptr};
    const char *const *to_file[] = {shout, upper, nullptr};
    const char *const *fails[] = {upper, no, nullptr};
    const int line = __LINE__ + 1;
    qo_pipeline(to_file, &o, nullptr);
    qo_pipeline(fails, nullptr, nullptr);
    qo_log_close();

    const std::string shown = "printf 'it'\\''s $HOME\\n' | tr a-z A-Z >";
    const std::string site = ": tests/pipeline_test.cpp->qo_pipeline_int#";
    const std::string first = site + std::to_string(line) + ": ";
    const std::string second = site + std::to_string(line + 1) + ": ";
    EXPECT_EQ(std::regex_replace(log.contents(), std::regex("[0-9]+ ms"), "N ms"),
              "DBG5" + first + shown + out.c_str() + "\nDBG5" + first +
                  "printf: exited with status 0 | tr: exited with status 0 (N ms)\n"
                  "DBG5" +
                  second + "tr a-z A-Z | no-such-qo-command\nDBG4" + second +
                  "Unable to run no-such-qo-command (stage 2 of 2): No such file or "
                  "directory\n");
    // The line, read back by a shell, writes the same file.
    ASSERT_EQ(system((shown + again.c_str()).c_str()), 0);
    EXPECT_EQ(again.contents(), "IT'S $HOME\n");
    EXPECT_EQ(out.contents(), again.contents());
}

} // namespace
