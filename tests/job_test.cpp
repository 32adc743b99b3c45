// Commands the caller holds: started, driven from the caller's own poll
// loop, talked to, signalled and stopped from anywhere.
#include "qo.h"
#include "support.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {

using Job = qo_test::Bounded<30>;
using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
            .count());
}

size_t open_descriptors()
{
    size_t n = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (readdir(dir))
        ++n;
    closedir(dir);
    return n;
}

// The argv lives for the start only, as a job needs it.
qo_job *launch(std::vector<const char *> argv, const qo_run_options *o)
{
    argv.push_back(nullptr);
    return qo_start(argv.data(), o);
}

// Many jobs from one thread, one poll over their descriptors: all run at
// once, each with its own deadline.
TEST_F(Job, ManyDrivenByOnePollEndTogether)
{
    // A job that ended before it was served was not cut short: the ones
    // the deadline kills sleep long enough to be served first.
    const struct {
        const char *sleep;
        int timeout_ms, status;
        long max_ms;
    } rows[] = {{"0.2", 0, 0, 800}, {"2", 100, SIGTERM, 500}};
    for (const auto &row : rows) {
        const auto start = Clock::now();
        std::vector<qo_job *> jobs;
        std::vector<pollfd> fds;
        qo_run_options o{};
        o.timeout_ms = row.timeout_ms;
        for (int i = 0; i < 100; ++i) {
            jobs.push_back(launch({"sleep", row.sleep}, &o));
            ASSERT_NE(jobs.back(), nullptr);
            fds.push_back({qo_job_fd(jobs.back()), POLLIN, 0});
        }
        // Starting a hundred processes is the slow part under the
        // sanitizers: the ends are timed from the last start.
        const auto started = Clock::now();
        for (size_t left = jobs.size(); left > 0;) {
            ASSERT_GE(poll(fds.data(), fds.size(), -1), 0);
            for (size_t i = 0; i < jobs.size(); ++i)
                if (fds[i].fd >= 0 && fds[i].revents && qo_job_serve(jobs[i], 0)) {
                    fds[i].fd = -1; // poll skips it from now on
                    --left;
                }
        }
        const long took = ms_since(started);
        EXPECT_LT(ms_since(start), 5000);
        for (qo_job *job : jobs) {
            EXPECT_EQ(qo_job_wait(job, 0, nullptr), row.status);
            qo_job_free(job);
        }
        EXPECT_LT(took, row.max_ms) << row.timeout_ms;
    }
}

std::atomic<qo_job *> to_stop{nullptr};

// A silent command, waited for in one thread, stopped from another or
// from a signal handler.
TEST_F(Job, StopFromAnotherThreadOrAHandlerEndsASilentWait)
{
    struct sigaction stop_it = {}, before = {};
    stop_it.sa_handler = [](int) { qo_job_stop(to_stop.load()); };
    sigaction(SIGUSR2, &stop_it, &before);
    for (const bool from_handler : {false, true}) {
        qo_job *job = launch({"sleep", "60"}, nullptr);
        to_stop = job;
        const pthread_t waiter = pthread_self();
        Clock::time_point asked;
        std::thread stopper([&] {
            usleep(200000);
            asked = Clock::now();
            if (from_handler)
                pthread_kill(waiter, SIGUSR2);
            else
                qo_job_stop(job);
        });
        const int status = qo_job_wait(job, -1, nullptr);
        const int error = errno;
        const long late = ms_since(asked);
        stopper.join();
        EXPECT_EQ(status, SIGTERM);
        EXPECT_EQ(error, ECANCELED);
        EXPECT_LT(late, 100) << from_handler;
        qo_job_free(job);
    }
    sigaction(SIGUSR2, &before, nullptr);
}

// Exits 0 when, with no descriptor left to open, a job set is refused
// with EMFILE and a held job started before still ends at a stop from
// another thread: its wait, with no wake-up to sleep on, looks at the stop
// every few ms instead.
[[noreturn]] void stop_without_descriptors()
{
    alarm(30);
    const char *const argv[] = {"sleep", "60", nullptr};
    static qo_job *job = qo_start(argv, nullptr);
    // A plain thread: a sanitizer's check of std::thread's virtual calls
    // needs descriptors.
    pthread_t stopper{};
    pthread_create(
        &stopper, nullptr,
        [](void *) -> void * {
            usleep(200000);
            qo_job_stop(job);
            return nullptr;
        },
        nullptr);
    const int next = dup(0);
    close(next);
    rlimit all{};
    getrlimit(RLIMIT_NOFILE, &all);
    const rlimit few{static_cast<rlim_t>(next), all.rlim_max};
    if (!job || setrlimit(RLIMIT_NOFILE, &few) != 0 || dup(0) != -1)
        _exit(2);
    errno = 0;
    const bool refused = qo_jobs_new() == nullptr && errno == EMFILE;
    const int status = qo_job_wait(job, -1, nullptr);
    const int error = errno;
    pthread_join(stopper, nullptr);
    setrlimit(RLIMIT_NOFILE, &all); // for exit()'s own needs
    qo_job_free(job);
    exit(refused && status == SIGTERM && error == ECANCELED ? 0 : 1);
}

TEST(JobDeath, StopReachesAWaitWithNoDescriptorLeft)
{
    EXPECT_EXIT(stop_without_descriptors(), testing::ExitedWithCode(0), "");
}

// Ended jobs wait in their set in the order they joined it; one freed
// there leaves the queue wherever it is in it, and the set goes on with
// the others in their order, a job added later behind them.
TEST_F(Job, FreedWhileQueuedInItsSetLeavesTheOthersInOrder)
{
    qo_jobs *set = qo_jobs_new();
    ASSERT_NE(set, nullptr);
    qo_job *jobs[4];
    for (qo_job *&job : jobs) {
        job = launch({"true"}, nullptr);
        ASSERT_NE(job, nullptr);
        ASSERT_EQ(qo_job_wait(job, -1, nullptr), 0);
    }
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(qo_jobs_add(set, jobs[i]), 0);
    qo_job_free(jobs[1]); // between two
    qo_job_free(jobs[2]); // the last
    ASSERT_EQ(qo_jobs_add(set, jobs[3]), 0);
    for (const int i : {0, 3}) {
        qo_job *ended = qo_jobs_wait(set, 0);
        EXPECT_EQ(ended, jobs[i]) << i;
        qo_job_free(ended);
    }
    EXPECT_EQ(qo_jobs_wait(set, 0), nullptr);
    EXPECT_EQ(errno, ENOENT);
    qo_jobs_free(set);
}

// At a terminal, a job that reads from it while another job has it stops
// there, and goes on once its turn comes, when the other hands the
// foreground on to it: 0 when it read the typed line.
int reads_in_its_turn()
{
    signal(SIGHUP, SIG_IGN); // the session's end hangs its terminal up
    char *out = nullptr;
    qo_run_options o{};
    o.output = &out;
    qo_job *holder = launch({"sleep", "1"}, nullptr);
    qo_job *reader = launch({"sh", "-c", "read x </dev/tty; echo got $x"}, &o);
    if (!holder || !reader)
        return 1;
    if (qo_job_wait(holder, -1, nullptr) != 0 || qo_job_wait(reader, -1, nullptr) != 0)
        return 2;
    qo_job_free(holder);
    qo_job_free(reader);
    const bool typed = out && strcmp(out, "got typed\n") == 0;
    qo_free(&out);
    return typed ? 0 : 3;
}

TEST_F(Job, ReaderAtTheTerminalWaitsForItsTurn)
{
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);
        exit(reads_in_its_turn()); // exit(): a coverage build's counts are written
    }
    ASSERT_EQ(write(master, "typed\n", 6), 6);
    std::string shown; // what the terminal showed, until EIO at the child's end
    char chunk[256];
    for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;)
        shown.append(chunk, static_cast<size_t>(n));
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << shown;
    close(master);
}

// A wait that runs out gives EAGAIN and loses nothing; the next one has
// the whole output, and a later one the same result again.
TEST_F(Job, WaitThatRunsOutResumes)
{
    char *out = nullptr;
    qo_run_options o{};
    o.output = &out;
    qo_job *job = launch({"sh", "-c", "echo a; sleep 1; echo b"}, &o);
    const auto start = Clock::now();
    EXPECT_EQ(qo_job_wait(job, 100, nullptr), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_GE(ms_since(start), 100);
    EXPECT_LT(ms_since(start), 300);
    int statuses[1] = {-2};
    EXPECT_EQ(qo_job_wait(job, -1, statuses), 0);
    EXPECT_STREQ(out, "a\nb\n");
    EXPECT_EQ(statuses[0], 0);
    EXPECT_EQ(qo_job_wait(job, 0, nullptr), 0);
    EXPECT_EQ(qo_job_serve(job, 0), 1);
    pollfd ended{qo_job_fd(job), POLLIN, 0};
    EXPECT_EQ(poll(&ended, 1, 0),
              0); // quiet: a loop that still watches it does not spin
    qo_job_free(job);
    qo_free(&out);
}

struct Dialogue {
    qo_job *job;
    std::string heard, sent;
};

// A dialogue: each line written only once the reply to the last is read.
TEST_F(Job, DialogueWritesEachLineAfterTheReply)
{
    Dialogue d{};
    qo_run_options o{};
    o.flags = QO_RUN_INPUT_PIPE;
    o.context = &d;
    o.on_output = [](void *context, const char *line, size_t size) {
        auto *talk = static_cast<Dialogue *>(context);
        talk->heard.append(line, size);
        const char *next = talk->heard == "got 1\n" ? "2\n" : nullptr;
        if (next) {
            talk->sent += next;
            qo_job_write(talk->job, next, strlen(next));
            qo_job_close_input(talk->job);
        }
        return 0;
    };
    d.job = launch({"sh", "-c", "read x; echo got $x; read y; echo got $y"}, &o);
    EXPECT_EQ(qo_job_write(d.job, "1\n", 2), 0);
    EXPECT_EQ(qo_job_wait(d.job, -1, nullptr), 0);
    EXPECT_EQ(d.heard, "got 1\ngot 2\n");
    EXPECT_EQ(qo_job_write(d.job, "3\n", 2), -1);
    qo_job_free(d.job);
}

// Input pushed to a command that stopped reading: EPIPE, no SIGPIPE; and
// the refusals of a job that takes no pushed input.
TEST_F(Job, WritesAfterTheCommandLeftSayEpipe)
{
    qo_run_options o{};
    o.flags = QO_RUN_INPUT_PIPE;
    qo_job *job = launch({"sh", "-c", "exec <&-; sleep 0.1"}, &o);
    int error = 0;
    for (int i = 0; i < 100 && !error; ++i) {
        usleep(10000);
        error = qo_job_write(job, "x\n", 2) == 0 ? 0 : errno;
    }
    EXPECT_EQ(error, EPIPE);
    EXPECT_EQ(qo_job_wait(job, -1, nullptr), 0);
    qo_job_free(job);
    job = launch({"true"}, nullptr);
    EXPECT_EQ(qo_job_write(job, "x", 1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(qo_job_wait(job, -1, nullptr), 0);
    EXPECT_EQ(qo_job_write(job, "x", 1), -1);
    EXPECT_EQ(errno, EINVAL);
    qo_job_free(job);
    // A run could never feed such a pipe: refused before anything starts.
    const char *const cat[] = {"cat", nullptr};
    EXPECT_EQ(qo_run(cat, &o), -1);
    EXPECT_EQ(errno, EINVAL);
}

// What ended on its own before the caller acted was neither stopped nor
// signalled: a stop changes nothing, a signal says ESRCH; and the input
// once ended takes no more.
TEST_F(Job, ActsOnACommandThatHasEndedChangeNothing)
{
    qo_job *job = launch({"true"}, nullptr);
    usleep(100000);
    EXPECT_EQ(qo_job_signal(job, SIGUSR1), -1);
    EXPECT_EQ(errno, ESRCH);
    qo_job_stop(job);
    EXPECT_EQ(qo_job_wait(job, -1, nullptr), 0);
    EXPECT_EQ(errno, 0);
    qo_job_free(job);
    qo_run_options o{};
    o.flags = QO_RUN_INPUT_PIPE;
    job = launch({"cat"}, &o);
    EXPECT_EQ(qo_job_signal(job, NSIG), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(qo_job_close_input(job), 0); // nothing queued: closed at once
    EXPECT_EQ(qo_job_close_input(job), -1);
    EXPECT_EQ(qo_job_write(job, "x", 1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(qo_job_wait(job, -1, nullptr), 0);
    qo_job_free(job);
}

// A signal reaches the script, which goes on; once ended, ESRCH.
TEST_F(Job, SignalReachesTheJobWhichGoesOn)
{
    char *out = nullptr;
    qo_run_options o{};
    o.output = &out;
    qo_job *job = launch(
        {"sh", "-c", "trap 'echo reload' USR1; echo ready; sleep 1 & wait; echo done"},
        &o);
    usleep(200000);
    EXPECT_EQ(qo_job_signal(job, SIGUSR1), 0);
    EXPECT_EQ(qo_job_wait(job, -1, nullptr), 0);
    EXPECT_STREQ(out, "ready\nreload\ndone\n");
    EXPECT_EQ(qo_job_signal(job, SIGUSR1), -1);
    EXPECT_EQ(errno, ESRCH);
    qo_job_free(job);
    qo_free(&out);
}

// Freeing a job that still runs stops it and leaves nothing behind: no
// zombie, no descriptor, no temporary file, the old file untouched.
TEST_F(Job, FreeingARunningJobLeavesNothing)
{
    qo_test::ScratchFolder folder;
    const std::string file = folder / "out";
    qo_test::write_file(file, "old\n");
    const size_t before = open_descriptors();
    qo_run_options o{};
    o.output_file = file.c_str();
    o.flags = QO_RUN_REPLACE;
    qo_job *job = launch({"sh", "-c", "echo new; sleep 60"}, &o);
    ASSERT_NE(job, nullptr);
    EXPECT_GT(qo_job_pid(job, 0), 0);
    EXPECT_EQ(qo_job_pid(job, 1), -1);
    const auto start = Clock::now();
    qo_job_free(job);
    EXPECT_LT(ms_since(start), 500);
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(folder.entries(), 1u);
    EXPECT_EQ(qo_test::read_file(file), "old\n");
}

// A job that cannot start: NULL, errno and why, as qo_run() gives -1.
// A pipeline that cannot start all its stages tells how the ones it had
// started ended.
TEST_F(Job, JobThatCannotStartGivesNull)
{
    char *why = nullptr;
    qo_run_options o{};
    o.why = &why;
    EXPECT_EQ(launch({"no-such-qo-command"}, &o), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_STREQ(why, "Unable to run no-such-qo-command: No such file or directory");
    qo_free(&why);

    const char *sleep[] = {"sleep", "30", nullptr}, *cat[] = {"cat", nullptr},
               *no[] = {"no-such-qo-command", nullptr};
    const std::string run = "Unable to run no-such-qo-command (stage ",
                      missing = ": No such file or directory",
                      killed = ": killed by signal 9 (Killed)";
    const struct {
        std::vector<const char *const *> stages;
        std::string why;
    } rows[] = {
        {{sleep, no},
         run + "2 of 2)" + missing + "; stage already started: sleep" + killed},
        {{sleep, cat, no},
         run + "3 of 3)" + missing + "; stages already started: sleep" + killed +
             " | cat" + killed},
        {{no, cat}, run + "1 of 2)" + missing},
    };
    for (auto row : rows) {
        row.stages.push_back(nullptr);
        EXPECT_EQ(qo_pipeline_start(row.stages.data(), &o), nullptr);
        EXPECT_EQ(errno, ENOENT);
        EXPECT_EQ(why, row.why);
        qo_free(&why);
    }
}

// Nothing of a run is formatted for a closed log; a log opened while the
// job runs still gets its outcome, paired with its entries by the pid.
TEST_F(Job, LogOpenedWhileTheJobRunsGetsItsOutcomeWithThePid)
{
    qo_test::ScratchPath log;
    qo_job *job = launch({"sleep", "0.2"}, nullptr);
    ASSERT_NE(job, nullptr);
    qo_log_open(log.c_str(), 5);
    EXPECT_EQ(qo_job_wait(job, -1, nullptr), 0);
    const std::string pid = std::to_string(qo_job_pid(job, 0));
    qo_job_free(job);
    qo_log_close();
    EXPECT_NE(log.contents().find("sleep: exited with status 0 ("), std::string::npos)
        << log.contents();
    EXPECT_NE(log.contents().find(" # pid " + pid + "\n"), std::string::npos)
        << log.contents();
}

} // namespace

namespace {

// ---- What the process knows, asked once and kept ----------------------
// Each case runs in a child of its own (a session, a file limit, a fork):
// 0 when it went as it should, else the step that did not.

// The command's stdout, or "" when the run failed.
std::string output_of(std::vector<const char *> argv, bool held)
{
    char *out = nullptr;
    qo_run_options o{};
    o.output = &out;
    argv.push_back(nullptr);
    int status = -1;
    if (held) {
        qo_job *job = qo_start(argv.data(), &o);
        status = job ? qo_job_wait(job, -1, nullptr) : -1;
        qo_job_free(job);
    } else {
        status = qo_run(argv.data(), &o);
    }
    std::string text = status == 0 && out ? out : "";
    free(out);
    return text;
}

// A file limit raised after a start reaches the next one, and so does a
// descriptor above the old limit.
int raised_file_limit()
{
    rlimit low{64, 0};
    getrlimit(RLIMIT_NOFILE, &low);
    if (low.rlim_max < 1024)
        return 0; // nothing to raise it to
    low.rlim_cur = 64;
    setrlimit(RLIMIT_NOFILE, &low);
    for (const bool held : {true, false})
        if (output_of({"sh", "-c", "ulimit -n"}, held) != "64\n")
            return 1;
    rlimit high = low;
    high.rlim_cur = 1024;
    setrlimit(RLIMIT_NOFILE, &high);
    for (const bool held : {true, false})
        if (output_of({"sh", "-c", "ulimit -n"}, held) != "1024\n")
            return 2;
    int ends[2];
    if (pipe(ends) != 0 || dup2(ends[1], 900) != 900)
        return 3;
    close(ends[1]);
    qo_run_options o{};
    o.flags = QO_RUN_OUTPUT_FD;
    o.output_fd = 900;
    const char *const argv[] = {"echo", "high", nullptr};
    if (qo_run(argv, &o) != 0)
        return 4;
    close(900);
    char got[8] = {};
    return read(ends[0], got, sizeof got) == 5 && strcmp(got, "high\n") == 0 ? 0 : 5;
}

// The command's view of its terminal: "tty" when it has one and its group
// is the foreground, "none" when it has none.
const char *const terminal_view[] = {
    "sh", "-c",
    "set -- $(sed 's/.*) //' /proc/$$/stat); "
    "if [ \"$5\" = 0 ]; then echo none; elif [ \"$6\" = \"$3\" ]; then echo tty; "
    "else echo background; fi"};

// Whether a held job and a run alike see the terminal as expected.
bool seen_as(const char *expected)
{
    const std::vector<const char *> view(std::begin(terminal_view),
                                         std::end(terminal_view));
    for (const bool held : {true, false})
        if (output_of(view, held) != expected)
            return false;
    return true;
}

// A terminal acquired after a run is used by the next one, and one dropped
// is no longer.
int terminal_acquired_and_dropped()
{
    signal(SIGHUP, SIG_IGN); // dropping it hangs the session's foreground up
    if (setsid() < 0)
        return 1;
    if (!seen_as("none\n"))
        return 2;
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 ||
        ioctl(slave, TIOCSCTTY, 0) != 0)
        return 3;
    if (!seen_as("tty\n"))
        return 4;
    if (ioctl(slave, TIOCNOTTY) != 0)
        return 5;
    if (!seen_as("none\n"))
        return 6;
    close(slave);
    close(master);
    return 0;
}

// A process that does not lead its session keeps the answer that it has
// no terminal; in a session of its own, the terminal it then acquires is
// used at once.
int terminal_in_a_session_of_its_own()
{
    signal(SIGHUP, SIG_IGN);
    const int tty = open("/dev/tty", O_RDWR);
    if (tty >= 0 && ioctl(tty, TIOCNOTTY) != 0) // not the leader: only this process
        return 1;
    if (!seen_as("none\n"))
        return 2;
    int master = -1, slave = -1;
    if (setsid() < 0 || openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 ||
        ioctl(slave, TIOCSCTTY, 0) != 0)
        return 3;
    if (!seen_as("tty\n"))
        return 4;
    return 0;
}

// A controlling terminal on 0-2 but no /dev/tty to open, as in a
// container whose /dev lacks it: the command has the terminal all the
// same. 77: no mount namespace here.
int terminal_without_dev_tty()
{
    signal(SIGHUP, SIG_IGN);
    int master = -1, slave = -1;
    if (setsid() < 0 || openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 ||
        ioctl(slave, TIOCSCTTY, 0) != 0 || dup2(slave, STDIN_FILENO) != STDIN_FILENO)
        return 1;
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("qo-dev", "/dev", "tmpfs", 0, nullptr) != 0 ||
        mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0)
        return 77;
    if (open("/dev/tty", O_RDWR) >= 0 || errno != ENOENT)
        return 2;
    if (!seen_as("tty\n"))
        return 3;
    return 0;
}

// A forked child knows itself: its jobs are stopped from another thread
// as promptly as its parent's, and its fatal exit ends its own commands,
// not the parent's.
int forked_child_knows_itself()
{
    qo_job *parents = launch({"sleep", "30"}, nullptr);
    if (!parents || qo_job_wait(parents, 10, nullptr) != -1)
        return 1;
    const pid_t child = fork();
    if (child == 0) {
        qo_job *own = launch({"sleep", "30"}, nullptr);
        std::thread stopper([own] {
            usleep(100000);
            qo_job_stop(own);
        });
        const auto start = Clock::now();
        const int status = qo_job_wait(own, -1, nullptr);
        stopper.join();
        if (status != SIGTERM || ms_since(start) > 1000)
            _exit(2);
        qo_job_free(own);
        qo_job *more = launch({"sleep", "30"}, nullptr);
        (void)more;
        qo_exit(0, "ending"); // ends its own job, not the parent's
    }
    int status = -1;
    waitpid(child, &status, 0);
    if (status != 0)
        return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
    if (qo_job_wait(parents, 50, nullptr) != -1 || errno != EAGAIN)
        return 4; // it ended: the child's exit took it for its own
    qo_job_free(parents);
    return 0;
}

TEST_F(Job, WhatTheProcessKnowsFollowsItsChanges)
{
    const struct {
        const char *name;
        int (*check)();
    } cases[] = {
        {"a raised file limit", raised_file_limit},
        {"a terminal acquired, then dropped", terminal_acquired_and_dropped},
        {"a terminal with no /dev/tty", terminal_without_dev_tty},
        {"a terminal in a session of its own", terminal_in_a_session_of_its_own},
        {"a forked child", forked_child_knows_itself},
    };
    for (const auto &c : cases) {
        const pid_t child = fork();
        if (child == 0) {
            alarm(20);
            exit(c.check()); // not _exit(): a coverage build's counts are written
        }
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status)) << c.name << ": " << status;
        if (WEXITSTATUS(status) == 77)
            fprintf(stderr, "%s: left out, no mount namespace here\n", c.name);
        else
            EXPECT_EQ(WEXITSTATUS(status), 0) << c.name;
    }
}

} // namespace

namespace {

// A job driven by the caller's poll over its descriptor: a stop from
// another thread wakes that poll, whether it came before the descriptor
// was asked for or after; once the job has ended, the descriptor is quiet.
TEST_F(Job, StopFromAnotherThreadWakesThePolledDescriptor)
{
    for (const bool stop_first : {true, false}) {
        qo_job *job = launch({"sleep", "60"}, nullptr);
        ASSERT_NE(job, nullptr);
        if (stop_first)
            qo_job_stop(job);
        pollfd p{qo_job_fd(job), POLLIN, 0};
        ASSERT_GE(p.fd, 0);
        std::thread stopper([job] {
            usleep(100000);
            qo_job_stop(job);
        });
        const auto start = Clock::now();
        while (!qo_job_serve(job, 0))
            poll(&p, 1, 2000);
        stopper.join();
        EXPECT_LT(ms_since(start), 1500) << stop_first;
        EXPECT_EQ(qo_job_wait(job, 0, nullptr), SIGTERM);
        qo_job_stop(job);
        EXPECT_EQ(poll(&p, 1, 0), 0) << stop_first;
        qo_job_free(job);
    }
}

} // namespace
