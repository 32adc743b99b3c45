// qo_pipeline: real stages, real pipes, real signals.
#include "qo.h"
#include "support.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
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
    std::string why;
};

Result run(std::vector<Stage> stages, qo_run_options o = {})
{
    std::vector<const char *const *> all;
    for (Stage &s : stages)
        s.push_back(nullptr), all.push_back(s.data());
    all.push_back(nullptr);
    char *out = nullptr, *err = nullptr, *why = nullptr;
    if (!o.output_file)
        o.output = &out;
    o.errors = &err, o.why = &why;
    Result r{0, 0, std::vector<int>(stages.size(), 7), "", "", {}, ""};
    const auto start = std::chrono::steady_clock::now();
    r.status = qo_pipeline(all.data(), &o, r.statuses.data());
    r.error = errno;
    r.took = std::chrono::steady_clock::now() - start;
    r.out = out ? out : "", r.err = err ? err : "", r.why = why;
    free(out), free(err), free(why);
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
    o.flags = QO_RUN_REPLACE; // the line shows the file's own name
    const char *shout[] = {"printf", "it's $HOME\\n", nullptr};
    const char *upper[] = {"tr", "a-z", "A-Z", nullptr};
    const char *no[] = {"no-such-qo-command", nullptr};
    const char *wait[] = {"sleep", "30", nullptr};
    const char *const *to_file[] = {shout, upper, nullptr};
    const char *const *fails[] = {wait, no, nullptr};
    const int line = __LINE__ + 1;
    qo_pipeline(to_file, &o, nullptr);
    qo_pipeline(fails, nullptr, nullptr);
    qo_log_close();

    const std::string shown = "printf 'it'\\''s $HOME\\n' | tr a-z A-Z >";
    const std::string site = ": tests/pipeline_test.cpp->TestBody#";
    const std::string first = site + std::to_string(line) + ": ";
    const std::string second = site + std::to_string(line + 1) + ": ";
    // The times and sizes vary; what each stage used follows the duration.
    std::string seen =
        std::regex_replace(log.contents(), std::regex("[0-9]+ ms"), "N ms");
    seen = std::regex_replace(seen, std::regex("[0-9.]+ [KMG]iB"), "S");
    EXPECT_EQ(
        std::regex_replace(seen, std::regex("# pids [0-9]+ [0-9]+"), "# pids N M"),
        "DBG5" + first + shown + out.c_str() + " # pids N M\nDBG5" + first +
            "printf: exited with status 0 | tr: exited with status 0 (N ms, N ms CPU, "
            "S | N ms CPU, S) # pids N M\n"
            "DBG5" +
            second + "sleep 30 | no-such-qo-command\nDBG4" + second +
            "Unable to run no-such-qo-command (stage 2 of 2): No such file or "
            "directory; stage already started: sleep: killed by signal 9 (Killed)\n");
    // The line, read back by a shell, writes the same file.
    ASSERT_EQ(system((shown + again.c_str()).c_str()), 0);
    EXPECT_EQ(again.contents(), "IT'S $HOME\n");
    EXPECT_EQ(out.contents(), again.contents());
}

// Each stage's errors apart, in a slot and a callback of its own, and in
// the log named by their stage.
TEST_F(Pipeline, EachStagesErrorsComeApart)
{
    std::vector<std::pair<size_t, std::string>> lines;
    char *slots[2] = {nullptr, nullptr};
    qo_run_options o{};
    o.context = &lines;
    o.on_stage_errors = [](void *seen, size_t stage, const char *line, size_t size) {
        static_cast<decltype(lines) *>(seen)->emplace_back(stage,
                                                           std::string(line, size));
        return 0;
    };
    o.stage_errors = slots;
    const Result r =
        run({sh("echo tar: no >&2; exit 2"), sh("cat; echo zip: ok >&2")}, o);
    EXPECT_EQ(r.status, 2 << 8);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(lines, (decltype(lines){{0, "tar: no\n"}, {1, "zip: ok\n"}}));
    EXPECT_STREQ(slots[0], "tar: no\n");
    EXPECT_STREQ(slots[1], "zip: ok\n");
    free(slots[0]), free(slots[1]);

    ScratchPath log;
    qo_log_open(log.c_str(), 3);
    qo_run_options logged{};
    logged.log_output = 3;
    const char *tar[] = {"sh", "-c", "echo missing >&2; exit 2", nullptr};
    const char *gzip[] = {"cat", nullptr};
    const char *const *stages[] = {tar, gzip, nullptr};
    qo_pipeline(stages, &logged, nullptr);
    qo_log_close();
    EXPECT_THAT(log.contents(),
                testing::HasSubstr(": stderr of stage 1 (sh): missing\n"));
}

// on_output with output_file: the file takes every byte, the callback
// every line, and QO_RUN_REPLACE still decides at the end.
TEST_F(Pipeline, OutputFileAndOnOutputBothGetEverything)
{
    const qo_test::ScratchFolder folder;
    const std::string out = folder / "OUT";
    std::string seen;
    size_t size = 0;
    qo_run_options o{};
    o.output_file = out.c_str(), o.flags = QO_RUN_REPLACE, o.output_size = &size;
    o.context = &seen;
    o.on_output = [](void *text, const char *line, size_t n) {
        static_cast<std::string *>(text)->append(line, n);
        return 0;
    };
    EXPECT_EQ(run({sh("seq 3"), {"cat"}}, o).status, 0);
    EXPECT_EQ(seen, "1\n2\n3\n");
    EXPECT_EQ(qo_test::read_file(out), "1\n2\n3\n");
    EXPECT_EQ(size, 6u);
    EXPECT_NE(run({sh("echo half; exit 1"), {"cat"}}, o).status, 0);
    EXPECT_EQ(qo_test::read_file(out), "1\n2\n3\n");
    EXPECT_EQ(folder.entries(), 1u);
    // A FIFO whose reader is slow gets every byte, in order, as the
    // callback gets every line.
    ScratchPath fifo;
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string read_back;
    std::thread reader([&] {
        const int fd = open(fifo.c_str(), O_RDONLY);
        char block[4096];
        for (ssize_t n; (n = read(fd, block, sizeof block)) > 0; usleep(1000))
            read_back.append(block, static_cast<size_t>(n));
        close(fd);
    });
    seen.clear();
    o.output_file = fifo.c_str(), o.flags = 0;
    EXPECT_EQ(run({sh("seq 100000"), {"cat"}}, o).status, 0);
    reader.join();
    EXPECT_EQ(read_back.size(), 588895u);
    EXPECT_EQ(read_back, seen);
    EXPECT_EQ(size, 588895u);
    // A file that refuses what it is written fails the run.
    o.output_file = "/dev/full", o.flags = 0;
    const Result full = run({sh("seq 3"), {"cat"}}, o);
    EXPECT_EQ(full.status, -1);
    EXPECT_EQ(full.why, "Unable to write /dev/full: No space left on device");
}

TEST_F(Pipeline, ReplaceTakesTheNameOnlyWhenTheWholeRunSucceeds)
{
    const qo_test::ScratchFolder folder, data;
    const std::string out = folder / "OUT", from = data / "";
    qo_test::write_file(out, "old\n");
    qo_test::write_file(data / "f", "data\n");
    chmod(out.c_str(), 0640);
    qo_run_options o{};
    o.output_file = out.c_str(), o.flags = QO_RUN_REPLACE;
    const struct {
        std::vector<Stage> stages;
        int timeout_ms;
        const char *why;
    } failures[] = {
        {{{"tar", "-cf", "-", "/no/such/qo/folder"}, {"gzip", "-c"}}, 0, ""},
        {{sh("echo new; exec sleep 30"), {"no-such-qo-command"}},
         0,
         "Unable to run no-such-qo-command (stage 2 of 2): No such file or directory; "
         "stage already started: sh: killed by signal 9 (Killed)"},
        {{sh("echo new; exec sleep 30"), {"cat"}}, 200, ""},
    };
    for (const auto &f : failures) {
        o.timeout_ms = f.timeout_ms;
        const Result r = run(f.stages, o);
        EXPECT_NE(r.status, 0) << f.why;
        EXPECT_EQ(r.why, f.why);
        EXPECT_EQ(qo_test::read_file(out), "old\n") << f.why;
        EXPECT_EQ(folder.entries(), 1u) << f.why;
    }
    o.timeout_ms = 0;
    EXPECT_EQ(
        run({{"tar", "-cf", "-", "-C", from.c_str(), "f"}, {"gzip", "-c"}}, o).why, "");
    EXPECT_EQ(system(("tar -xzOf " + out + " f | grep -qx data").c_str()), 0);

    // A reader sees the old file or the new one whole, never a part of it.
    std::atomic<bool> running{true};
    std::vector<std::string> seen;
    const std::string before = qo_test::read_file(out);
    std::thread reader([&] {
        for (std::string last; running; usleep(1000))
            if (std::string now = qo_test::read_file(out); now != last)
                seen.push_back(last = now);
    });
    EXPECT_EQ(run({sh("echo a; sleep 0.3; echo b"), {"cat"}}, o).status, 0);
    running = false;
    reader.join();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0], before);
    for (const std::string &text : seen)
        EXPECT_TRUE(text == before || text == "a\nb\n") << text;
    EXPECT_EQ(qo_test::read_file(out), "a\nb\n");

    // A replaced file keeps its mode, a new one gets 0666 less the umask.
    const std::string fresh = folder / "NEW";
    o.output_file = fresh.c_str();
    const mode_t umask_before = umask(027);
    EXPECT_EQ(run({{"true"}}, o).status, 0);
    umask(umask_before);
    struct stat replaced {
    }, made{};
    EXPECT_EQ(stat(out.c_str(), &replaced) | stat(fresh.c_str(), &made), 0);
    EXPECT_EQ(replaced.st_mode & 0777, 0640u);
    EXPECT_EQ(made.st_mode & 0777, 0640u);
    EXPECT_EQ(folder.entries(), 2u);
}

// qo_run, qo_pipeline and a held job's wait return the same for the same
// end: a run cut short never reads as a success, whichever front ran it.
TEST_F(Pipeline, EveryFrontReturnsTheSameForTheSameEnd)
{
    using Front = int (*)(const char *const *argv, const qo_run_options *o);
    const struct {
        const char *name;
        Front run;
    } fronts[] = {
        {"qo_run", [](const char *const *argv,
                      const qo_run_options *o) { return qo_run(argv, o); }},
        {"qo_pipeline",
         [](const char *const *argv, const qo_run_options *o) {
             const char *const *const stages[] = {argv, nullptr};
             return qo_pipeline(stages, o, nullptr);
         }},
        {"qo_start",
         [](const char *const *argv, const qo_run_options *o) {
             qo_job *job = qo_start(argv, o);
             const int status = qo_job_wait(job, -1, nullptr), error = errno;
             qo_job_free(job);
             errno = error;
             return status;
         }},
        {"qo_pipeline_start",
         [](const char *const *argv, const qo_run_options *o) {
             const char *const *const stages[] = {argv, nullptr};
             qo_job *job = qo_pipeline_start(stages, o);
             const int status = qo_job_wait(job, -1, nullptr), error = errno;
             qo_job_free(job);
             errno = error;
             return status;
         }},
    };
    const auto stop_at_once = [](void *, const char *, size_t) { return 1; };
    const struct {
        const char *script;
        int timeout_ms, stop_signal;
        bool stopped; // by a callback
        int status, error;
    } rows[] = {
        {"trap 'exit 0' TERM; sleep 30 & wait", 300, 0, false, SIGTERM, ETIMEDOUT},
        {"trap 'exit 0' HUP; sleep 30 & wait", 300, SIGHUP, false, SIGHUP, ETIMEDOUT},
        {"trap 'exit 0' TERM; echo go; sleep 30 & wait", 0, 0, true, SIGTERM,
         ECANCELED},
        {"trap 'exit 4' TERM; sleep 30 & wait", 300, 0, false, 4 << 8, ETIMEDOUT},
        {"exit 3", 0, 0, false, 3 << 8, 0},
        {"kill -PIPE $$", 0, 0, false, SIGPIPE, 0},
    };
    for (const auto &row : rows)
        for (const auto &front : fronts) {
            const char *const argv[] = {"sh", "-c", row.script, nullptr};
            qo_run_options o{};
            o.timeout_ms = row.timeout_ms, o.stop_signal = row.stop_signal;
            if (row.stopped)
                o.on_output = stop_at_once;
            EXPECT_EQ(front.run(argv, &o), row.status)
                << front.name << ": " << row.script;
            EXPECT_EQ(errno, row.error) << front.name << ": " << row.script;
        }
}

int memfd()
{
    return memfd_create("qo-test", MFD_CLOEXEC);
}

std::string read_back(int fd)
{
    std::string text(4096, '\0');
    text.resize(static_cast<size_t>(
        std::max<ssize_t>(pread(fd, text.data(), text.size(), 0), 0)));
    return text;
}

// Every slot the caller gives receives a string, however the streams go:
// each stage's errors apart take stderr from errors (the slot output
// shares included), and errors_fd wins over them all.
TEST_F(Pipeline, EverySlotGivenGetsAStringWhereverTheStreamsGo)
{
    enum Errors { none, own, merged, to_fd };
    using Lines = std::vector<std::pair<size_t, std::string>>;
    for (const Errors errors : {none, own, merged, to_fd})
        for (const bool output_fd : {false, true})
            for (const int apart : {1, 2, 3}) { // slots, callback, both
                const bool slots = apart & 1, callback = apart & 2;
                char *out = nullptr, *err = nullptr, *stage[2] = {nullptr, nullptr};
                Lines lines;
                const int fds[2] = {memfd(), memfd()};
                qo_run_options o{};
                o.output = &out;
                o.errors = errors == own || errors == to_fd ? &err
                           : errors == merged               ? &out
                                                            : nullptr;
                if (output_fd)
                    o.flags |= QO_RUN_OUTPUT_FD, o.output_fd = fds[0];
                if (errors == to_fd)
                    o.flags |= QO_RUN_ERRORS_FD, o.errors_fd = fds[1];
                o.stage_errors = slots ? stage : nullptr;
                o.context = &lines;
                if (callback)
                    o.on_stage_errors = [](void *seen, size_t i, const char *line,
                                           size_t size) {
                        static_cast<Lines *>(seen)->emplace_back(
                            i, std::string(line, size));
                        return 0;
                    };
                const char *first[] = {"sh", "-c", "echo o1; echo e1 >&2", nullptr};
                const char *second[] = {"sh", "-c", "cat; echo e2 >&2", nullptr};
                const char *const *stages[] = {first, second, nullptr};
                const std::string row = "errors " + std::to_string(errors) +
                                        (output_fd ? ", output_fd" : "") + ", apart " +
                                        std::to_string(apart);
                ASSERT_EQ(qo_pipeline(stages, &o, nullptr), 0) << row;
                const bool fd_wins = errors == to_fd;
                ASSERT_NE(out, nullptr) << row;
                EXPECT_STREQ(out, output_fd ? "" : "o1\n") << row;
                if (o.errors && o.errors != o.output) {
                    ASSERT_NE(err, nullptr) << row;
                    EXPECT_STREQ(err, "") << row;
                }
                for (size_t i = 0; slots && i < 2; ++i) {
                    EXPECT_STREQ(stage[i] ? stage[i] : "NULL", fd_wins ? ""
                                                               : i     ? "e2\n"
                                                                       : "e1\n")
                        << row << ", stage " << i;
                }
                EXPECT_EQ(lines, callback && !fd_wins
                                     ? (Lines{{0, "e1\n"}, {1, "e2\n"}})
                                     : Lines{})
                    << row;
                EXPECT_EQ(read_back(fds[0]), output_fd ? "o1\n" : "") << row;
                EXPECT_EQ(read_back(fds[1]), fd_wins ? "e1\ne2\n" : "") << row;
                free(out), free(err), free(stage[0]), free(stage[1]);
                close(fds[0]), close(fds[1]);
            }
}

} // namespace
