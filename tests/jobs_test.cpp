// Job sets: many held jobs served from one thread, each handed back once
// as it ends; and what a job's end says of itself.
#include "qo.h"
#include "support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Jobs = qo_test::Bounded<60>;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

qo_job *launch(const char *line, const qo_run_options *o = nullptr)
{
    const char *argv[] = {"sh", "-c", line, nullptr};
    return qo_start(argv, o);
}

std::string taken(char *text)
{
    std::string s = text ? text : "(null)";
    free(text);
    return s;
}

// 100 sleeps of 0.1 to 0.3 s: each comes back once, in the order they
// end. Each tells the time it ended on its stdout, which the order is
// checked against: starting 100 processes on a busy machine takes long
// enough to reorder their ends on its own. A job ends once it has exited,
// some time after it told it: on a loaded machine, up to tens of ms.
TEST_F(Jobs, HandBackEachOnceInTheOrderTheyEnd)
{
    qo_jobs *set = qo_jobs_new();
    ASSERT_NE(set, nullptr);
    std::vector<qo_job *> jobs(100);
    std::vector<char *> said(100, nullptr);
    for (size_t i = 0; i < jobs.size(); ++i) {
        const double sleep = 0.1 + 0.2 * static_cast<double>((i * 37) % 100) / 99.0;
        const std::string line = "sleep " + std::to_string(sleep) + " && date +%s.%N";
        qo_run_options o{};
        o.output = &said[i];
        jobs[i] = launch(line.c_str(), &o);
        ASSERT_EQ(qo_jobs_add(set, jobs[i]), 0);
    }
    std::vector<double> ends;
    while (qo_job *job = qo_jobs_wait(set, -1)) {
        const auto at = std::find(jobs.begin(), jobs.end(), job);
        ASSERT_NE(at, jobs.end()) << "handed back twice, or not ours";
        const size_t i = static_cast<size_t>(at - jobs.begin());
        EXPECT_EQ(qo_job_wait(job, 0, nullptr), 0);
        ends.push_back(strtod(said[i], nullptr));
        free(said[i]);
        *at = nullptr;
        qo_job_free(job);
    }
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(ends.size(), 100u);
    double latest = 0;
    for (const double end : ends) {
        EXPECT_GT(end, latest - 0.1)
            << "a job came back " << latest - end << " s after one that ended later";
        latest = std::max(latest, end);
    }
    qo_jobs_free(set);
}

// What a set says when it has nothing to hand back, and what it refuses.
TEST_F(Jobs, TellWhyNothingComesBack)
{
    const struct {
        const char *name;
        const char *command; // NULL: no job at all
        bool ended_first;    // the job waited for before it is added
        int timeout_ms;
        bool handed_back;
        int error;
    } rows[] = {
        {"empty set", nullptr, false, -1, false, ENOENT},
        {"timeout", "exec sleep 5", false, 50, false, EAGAIN},
        {"no wait", "exec sleep 5", false, 0, false, EAGAIN},
        {"ended before it was added", "exit 4", true, 0, true, 0},
        {"ends within the timeout", "exit 0", false, 5000, true, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        qo_jobs *set = qo_jobs_new();
        qo_job *job = row.command ? launch(row.command) : nullptr;
        if (row.ended_first)
            qo_job_wait(job, -1, nullptr);
        if (job) {
            ASSERT_EQ(qo_jobs_add(set, job), 0);
        }
        const auto start = Clock::now();
        errno = 0;
        qo_job *back = qo_jobs_wait(set, row.timeout_ms);
        EXPECT_EQ(back != nullptr, row.handed_back);
        if (!row.handed_back) {
            EXPECT_EQ(errno, row.error);
            if (row.timeout_ms >= 0) {
                EXPECT_GE(seconds_since(start), row.timeout_ms / 1000.0 - 0.001);
            }
        }
        qo_job_free(job); // takes one still in the set out of it
        EXPECT_EQ(qo_jobs_wait(set, 0), nullptr);
        EXPECT_EQ(errno, ENOENT);
        qo_jobs_free(set);
    }
}

TEST_F(Jobs, RefuseWhatTheyCannotHold)
{
    qo_jobs *set = qo_jobs_new(), *other = qo_jobs_new();
    qo_job *job = launch("exec sleep 5");
    const struct {
        qo_jobs *set;
        qo_job *job;
        int result, error;
    } rows[] = {{nullptr, job, -1, EINVAL}, {set, nullptr, -1, EINVAL},
                {set, job, 0, 0},          {set, job, -1, EEXIST},
                {other, job, -1, EEXIST}};
    for (const auto &row : rows) {
        errno = 0;
        EXPECT_EQ(qo_jobs_add(row.set, row.job), row.result);
        EXPECT_EQ(errno, row.error);
    }
    EXPECT_EQ(qo_jobs_fd(nullptr), -1);
    EXPECT_EQ(qo_jobs_wait(nullptr, 0), nullptr);
    EXPECT_EQ(errno, EINVAL);
    // Freed with a job inside: the job goes on alone, and ends as a job.
    qo_jobs_free(set);
    qo_job_stop(job);
    qo_job_wait(job, -1, nullptr);
    qo_job_free(job);
    qo_jobs_free(other);
    qo_jobs_free(nullptr);
}

// The set's descriptor in the caller's own poll, beside a pipe of its own:
// each wakes the poll for what it has.
TEST_F(Jobs, ServeFromTheCallersPoll)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    qo_jobs *set = qo_jobs_new();
    qo_job *slow = launch("exec sleep 0.3"), *quick = launch("exec sleep 0.1");
    qo_jobs_add(set, slow);
    qo_jobs_add(set, quick);
    ASSERT_EQ(write(pipe_fds[1], "x", 1), 1);
    std::vector<std::string> seen;
    while (seen.size() < 3) {
        pollfd fds[] = {{pipe_fds[0], POLLIN, 0}, {qo_jobs_fd(set), POLLIN, 0}};
        ASSERT_GT(poll(fds, 2, 5000), 0);
        char byte;
        if (fds[0].revents && read(pipe_fds[0], &byte, 1) == 1)
            seen.push_back("pipe");
        if (!fds[1].revents)
            continue;
        if (qo_job *job = qo_jobs_wait(set, 0)) {
            seen.push_back(job == quick ? "quick" : "slow");
            qo_job_free(job);
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"pipe", "quick", "slow"}));
    qo_jobs_free(set);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

// Two jobs that end at once: the second is handed back by the next call,
// and the set's descriptor stays readable until then.
TEST_F(Jobs, KeepTheirDescriptorReadableWhileAnEndedJobWaits)
{
    qo_jobs *set = qo_jobs_new();
    qo_job *a = launch("exit 0"), *b = launch("exit 0");
    qo_job_wait(a, -1, nullptr);
    qo_job_wait(b, -1, nullptr);
    qo_jobs_add(set, a);
    qo_jobs_add(set, b);
    for (qo_job *expected : {a, b}) {
        pollfd p{qo_jobs_fd(set), POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), 1);
        EXPECT_EQ(qo_jobs_wait(set, 0), expected);
    }
    pollfd p{qo_jobs_fd(set), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);
    qo_job_free(a);
    qo_job_free(b);
    qo_jobs_free(set);
}

// What an ended job says of itself, read as the log reads.
TEST_F(Jobs, DescribeTheirEnd)
{
    const char *tar[] = {"sh", "-c", "exec sleep 5", nullptr};
    const char *gzip[] = {"cat", nullptr};
    const char *const *pipeline[] = {tar, gzip, nullptr};
    const struct {
        const char *name;
        const char *command; // NULL: the pipeline above
        int timeout_ms;
        const char *text;
        int interrupted;
    } rows[] = {
        {"exit", "exit 3", 0, "sh: exited with status 3", 0},
        {"deadline", nullptr, 100,
         "deadline reached: sh: killed by signal 15 (Terminated) | cat: killed by "
         "signal 15 (Terminated)",
         0},
        {"Ctrl-C", "kill -INT $$", 0, "sh: killed by signal 2 (Interrupt)", 1},
        {"Ctrl-\\", "kill -QUIT $$", 0, "sh: killed by signal 3 (Quit)", 1},
        {"other signal", "kill -HUP $$", 0, "sh: killed by signal 1 (Hangup)", 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        qo_run_options o{};
        o.timeout_ms = row.timeout_ms;
        qo_job *job = row.command ? launch(row.command, &o) : qo_pipeline_start(pipeline, &o);
        EXPECT_EQ(qo_job_describe(job), nullptr);
        EXPECT_EQ(qo_job_duration_ms(job), -1);
        const auto start = Clock::now();
        qo_job_wait(job, -1, nullptr);
        EXPECT_EQ(taken(qo_job_describe(job)), row.text);
        EXPECT_EQ(qo_job_interrupted(job), row.interrupted);
        EXPECT_GE(qo_job_duration_ms(job), row.timeout_ms);
        EXPECT_LE(qo_job_duration_ms(job), 1000 * seconds_since(start) + 1000);
        qo_job_free(job);
    }
    EXPECT_EQ(qo_job_describe(nullptr), nullptr);
}

} // namespace
