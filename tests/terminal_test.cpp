// qo_run at a terminal, driven as a person would: a pseudo-terminal whose
// session has a small job-control shell, and bytes typed at its master.
#include "qo.h"

#include "support.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// "|" among the words makes a pipeline of them.
int run(std::vector<const char *> words, const qo_run_options &o)
{
    std::vector<const char *const *> stages{words.data()};
    for (const char *&word : words)
        if (word && strcmp(word, "|") == 0) {
            word = nullptr;
            stages.push_back(&word + 1);
        }
    if (stages.size() == 1)
        return qo_run(words.data(), &o);
    stages.push_back(nullptr);
    return qo_pipeline(stages.data(), &o, nullptr);
}

struct Step {
    const char *wait_for; // then
    const char *type;     // NULL: nothing
};

struct TerminalCase {
    const char *name;
    std::vector<const char *> argv;
    int timeout_ms;
    bool tostop;
    std::vector<Step> steps;
    long at_most_ms;
    int redirected = 0;                    // how many of the caller's 0-2 are /dev/null
    std::vector<const char *> beside = {}; // run from a second thread at once
    bool streamed = false;                 // the lines go to a callback
    std::vector<const char *> nested = {}; // run by the callback, at its first line
    // Held jobs of argv started at once, then waited in turn (qo_job_wait
    // of the first, then of the next), or not waited on by qo at all until
    // every one has ended.
    enum { none, in_turn, unwatched } held = none;
};

// A run nested in a line callback, made once.
struct Nested {
    int tty;
    const std::vector<const char *> *argv;
    bool ran;
};

int run_nested(void *context, const char *, size_t)
{
    auto *n = static_cast<Nested *>(context);
    if (n->ran)
        return 0;
    n->ran = true;
    dprintf(n->tty, "asking\n");
    char *text = qo_status_text(run(*n->argv, qo_run_options{}));
    dprintf(n->tty, "nested: %s\n", text);
    free(text);
    return 0;
}

constexpr int held_jobs = 3;

// Held jobs: each one's status, the texts joined as "a; b; c".
char *run_held(const TerminalCase &c, const qo_run_options &o)
{
    qo_job *jobs[held_jobs];
    for (qo_job *&job : jobs)
        job = qo_start(c.argv.data(), &o);
    // A command may say "ready" before qo_start() has returned: the
    // Ctrl-C is for jobs that have started.
    dprintf(STDOUT_FILENO, "all started\n");
    if (c.held == TerminalCase::unwatched)
        for (qo_job *job : jobs) {
            siginfo_t info{};
            waitid(P_PID, static_cast<id_t>(qo_job_pid(job, 0)), &info,
                   WEXITED | WNOWAIT);
        }
    // A job started after the Ctrl-C is not sent it, whoever holds the
    // foreground next: the one the caller waits for, or the relay meanwhile.
    const char *const later[] = {"sh", "-c", "sleep 0.3; exit 5", nullptr};
    qo_job *next = nullptr;
    char *text = nullptr;
    for (qo_job *job : jobs) {
        char *one = qo_status_text(qo_job_wait(job, -1, nullptr));
        qo_strcat(&text, "%s%s", text ? "; " : "", one);
        free(one);
        qo_job_free(job);
        if (!next && (next = qo_start(later, nullptr)))
            usleep(200000);
    }
    char *one = qo_status_text(qo_job_wait(next, -1, nullptr));
    qo_strcat(&text, "; then %s", one);
    free(one);
    qo_job_free(next);
    return text;
}

// The caller, in a group of its own that the shell put in the foreground:
// runs the command and prints how it ended, whether it has the terminal
// back and whether the terminal echoes. Streamed, it prints each line of
// the command's as it comes.
[[noreturn]] void caller(const TerminalCase &c)
{
    const int tty = dup(1), null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < c.redirected; ++fd)
        dup2(null, fd);
    qo_run_options o{};
    o.timeout_ms = c.timeout_ms;
    int lines_to = tty;
    if (c.streamed) {
        o.context = &lines_to;
        o.on_output = [](void *fd, const char *line, size_t size) -> int {
            return dprintf(*static_cast<int *>(fd), "line: %.*s",
                           static_cast<int>(size), line) < 0;
        };
    }
    Nested nested{tty, &c.nested, false};
    if (!c.nested.empty()) {
        o.context = &nested;
        o.on_output = run_nested;
    }
    std::atomic<int> ready{0};
    auto start = [&](const std::vector<const char *> &argv) {
        for (++ready; ready < (c.beside.empty() ? 1 : 2);) {
        }
        return run(argv, o);
    };
    std::thread other;
    if (!c.beside.empty())
        other = std::thread(start, c.beside);
    char *text = c.held ? run_held(c, o) : qo_status_text(start(c.argv));
    if (other.joinable())
        other.join();
    termios t{};
    tcgetattr(tty, &t);
    dprintf(tty, "caller: %s, %s, echo %s\n", text,
            tcgetpgrp(tty) == getpgrp() ? "foreground" : "not",
            t.c_lflag & ECHO ? "on" : "off");
    free(text);
    exit(0); // not _exit: a coverage build keeps the counters of the run
}

// What an interactive shell does for one job: foreground, and on a stop
// "[stopped]" and a line read before fg.
[[noreturn]] void shell(const TerminalCase &c)
{
    for (const int s : {SIGTTOU, SIGTSTP, SIGINT})
        signal(s, SIG_IGN);
    if (c.tostop) {
        termios t{};
        tcgetattr(0, &t);
        t.c_lflag |= TOSTOP;
        tcsetattr(0, TCSANOW, &t);
    }
    // The caller goes on once its group has the foreground: a late
    // tcsetpgrp() of the shell's would take it from the command the caller
    // has handed it to by then.
    int placed[2];
    if (pipe(placed) != 0)
        _exit(1);
    const pid_t job = fork();
    if (job == 0) {
        close(placed[1]);
        char done = 0;
        if (read(placed[0], &done, 1) != 1)
            _exit(1);
        close(placed[0]);
        for (const int s : {SIGTTOU, SIGTSTP, SIGINT})
            signal(s, SIG_DFL);
        caller(c);
    }
    close(placed[0]);
    setpgid(job, job);
    tcsetpgrp(0, job);
    if (write(placed[1], "", 1) != 1)
        _exit(1);
    close(placed[1]);
    int status = 0;
    while (waitpid(job, &status, WUNTRACED) == job && WIFSTOPPED(status)) {
        tcsetpgrp(0, getpgrp());
        printf("[stopped]\n");
        fflush(stdout);
        char line[64];
        if (!fgets(line, sizeof line, stdin))
            _exit(1);
        tcsetpgrp(0, job);
        kill(-job, SIGCONT);
    }
    _exit(0);
}

struct Terminal {
    int master = -1;
    pid_t shell = -1;
    std::string seen;

    // Waits up to 10 s for text to appear after what was already found.
    bool expect(const std::string &text, size_t &from)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (seen.find(text, from) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buf[512];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0)
                return false;
            seen.append(buf, static_cast<size_t>(n));
        }
        from = seen.find(text, from) + text.size();
        return true;
    }
};

// The wait status of pid, or -1 once it has taken longer than seconds and
// was killed: a run that hangs fails the test instead of stalling it.
int wait_bounded(pid_t pid, int seconds)
{
    int status = 0;
    for (int ms = 0; ms < seconds * 1000; ms += 20) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return status;
        usleep(20000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

TEST(Terminal, PersonAtAPseudoTerminalDrivesTheCommand)
{
    const std::string ask =
        "printf 'password: ' >/dev/tty; read p </dev/tty; echo \"got $p\"";
    const std::string ask_at_tty = ask + " >/dev/tty", ask_later = "sleep 1; " + ask;
    const std::vector<Step> answered = {
        {"password: ", "hunter2\n"},
        {"got hunter2", nullptr},
        {"caller: exited with status 0, foreground", nullptr}};
    const char *quiet = "stty -echo </dev/tty; echo ready; exec sleep 7";
    const std::vector<TerminalCase> cases = {
        {"password read from /dev/tty",
         {"sh", "-c", ask.c_str(), nullptr},
         0,
         false,
         answered,
         10000},
        {"echo with tostop",
         {"echo", "written", nullptr},
         0,
         true,
         {{"written", nullptr}, {"caller: exited with status 0, foreground", nullptr}},
         10000},
        {"Ctrl-C ends the command, the caller reports it",
         {"sh", "-c", "(echo ready; exec sleep 7); echo late", nullptr},
         0,
         false,
         {{"ready", "\x03"},
          {"caller: killed by signal 2 (Interrupt), foreground", nullptr}},
         5000},
        {"Ctrl-Z stops both, fg resumes both",
         {"sh", "-c", "echo ready; read x </dev/tty; echo \"got $x\"", nullptr},
         0,
         false,
         {{"ready", "\x1a"},
          {"[stopped]", "fg\n"},
          {"fg", "more\n"},
          {"got more", nullptr},
          {"caller: exited with status 0, foreground", nullptr}},
         10000},
        {"Ctrl-C ends every stage of a pipeline",
         {"sh", "-c", "echo ready; exec sleep 7", "|", "cat", nullptr},
         0,
         false,
         {{"ready", "\x03"},
          {"caller: killed by signal 2 (Interrupt), foreground", nullptr}},
         5000},
        {"Ctrl-Z stops a whole pipeline, fg resumes it",
         {"sh", "-c", "echo ready; read x </dev/tty; echo \"got $x\"", "|", "cat",
          nullptr},
         0,
         false,
         {{"ready", "\x1a"},
          {"[stopped]", "fg\n"},
          {"fg", "more\n"},
          {"got more", nullptr},
          {"caller: exited with status 0, foreground", nullptr}},
         10000},
        {"a command not found leaves the terminal to the caller",
         {"no-such-qo-command", nullptr},
         0,
         false,
         {{"caller: could not be run, foreground", nullptr}},
         10000},
        {"Ctrl-C ends a streamed run, the caller reports it",
         {"sh", "-c", "echo ready; exec sleep 7", nullptr},
         0,
         false,
         {{"line: ready", "\x03"},
          {"caller: killed by signal 2 (Interrupt), foreground", nullptr}},
         5000,
         0,
         {},
         true},
        {"Ctrl-Z stops a streamed run, fg resumes it",
         {"sh", "-c", "echo ready; read x </dev/tty; echo \"got $x\"", nullptr},
         0,
         false,
         {{"line: ready", "\x1a"},
          {"[stopped]", "fg\n"},
          {"fg", "more\n"},
          {"line: got more", nullptr},
          {"caller: exited with status 0, foreground", nullptr}},
         10000,
         0,
         {},
         true},
        {"the deadline ends the whole group",
         {"sh", "-c", "sleep 30 & echo ready; wait", nullptr},
         500,
         false,
         {{"ready", nullptr},
          {"caller: killed by signal 15 (Terminated), foreground", nullptr}},
         5000},
        // The terminal is the controlling one, found whatever stdin is.
        {"stdin redirected",
         {"sh", "-c", ask.c_str(), nullptr},
         8000,
         false,
         answered,
         10000,
         1},
        {"0-2 redirected",
         {"sh", "-c", ask_at_tty.c_str(), nullptr},
         8000,
         false,
         answered,
         10000,
         3},
        // One of two runs at once takes the terminal; the other gets it when
        // it needs it, once the first is done with it.
        {"two runs at once, the later one reads /dev/tty",
         {"sh", "-c", ask_later.c_str(), nullptr},
         8000,
         false,
         answered,
         10000,
         0,
         {"sleep", "0.3", nullptr}},
        // Ctrl-C reaches every run of the process, not only the one that
        // has the terminal: the caller gets both back at once.
        {"two runs at once, one Ctrl-C ends both",
         {"sh", "-c", "sleep 0.3; echo ready; exec sleep 7", nullptr},
         0,
         false,
         {{"ready", "\x03"},
          {"caller: killed by signal 2 (Interrupt), foreground", nullptr}},
         5000,
         0,
         {"sleep", "7", nullptr}},
        // A run nested in a callback borrows the terminal from the run
        // around it, which gets it back after.
        {"a nested run reads /dev/tty",
         {"sh", "-c", "echo go; sleep 1", nullptr},
         0,
         false,
         {{"asking", "hello\n"},
          {"nested: exited with status 0", nullptr},
          {"caller: exited with status 0, foreground", nullptr}},
         5000,
         0,
         {},
         false,
         {"sh", "-c", "read a </dev/tty; echo got $a >/dev/tty", nullptr}},
        // The caller's modes come back after a job that ends by a signal or
        // stops, not after one that exits.
        {"echo off, killed at the deadline",
         {"sh", "-c", quiet, nullptr},
         500,
         false,
         {{"ready", nullptr},
          {"caller: killed by signal 15 (Terminated), foreground, echo on", nullptr}},
         5000},
        {"echo off, Ctrl-C",
         {"sh", "-c", quiet, nullptr},
         0,
         false,
         {{"ready", "\x03"},
          {"caller: killed by signal 2 (Interrupt), foreground, echo on", nullptr}},
         5000},
        // Held jobs: one Ctrl-C ends them all, whichever the caller waits
        // for, or none.
        {"held jobs waited in turn, one Ctrl-C ends all",
         {"sh", "-c", "echo ready; exec sleep 7", nullptr},
         0,
         false,
         {{"all started", "\x03"},
          {"caller: killed by signal 2 (Interrupt); killed by signal 2 (Interrupt); "
           "killed by signal 2 (Interrupt); then exited with status 5, foreground",
           nullptr}},
         5000,
         0,
         {},
         false,
         {},
         TerminalCase::in_turn},
        {"held jobs not waited on, one Ctrl-C ends all",
         {"sh", "-c", "echo ready; exec sleep 7", nullptr},
         0,
         false,
         {{"all started", "\x03"},
          {"caller: killed by signal 2 (Interrupt); killed by signal 2 (Interrupt); "
           "killed by signal 2 (Interrupt); then exited with status 5, foreground",
           nullptr}},
         5000,
         0,
         {},
         false,
         {},
         TerminalCase::unwatched},
        {"echo off, Ctrl-Z echoes fg, the job gets its modes back",
         {"sh", "-c",
          "stty -echo </dev/tty; echo ready; read x </dev/tty; echo \"got $x\"",
          nullptr},
         0,
         false,
         {{"ready", "\x1a"},
          {"[stopped]", "fg\n"},
          {"fg", "more\n"},
          {"got more", nullptr},
          {"caller: exited with status 0, foreground, echo off", nullptr}},
         10000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fflush(nullptr);
        Terminal t;
        t.shell = forkpty(&t.master, nullptr, nullptr, nullptr);
        ASSERT_GE(t.shell, 0);
        if (t.shell == 0)
            shell(c);
        const auto start = std::chrono::steady_clock::now();
        size_t from = 0;
        for (const auto &step : c.steps) {
            ASSERT_TRUE(t.expect(step.wait_for, from))
                << "waiting for " << step.wait_for << " in:\n"
                << t.seen;
            if (step.type) {
                ASSERT_GT(write(t.master, step.type, strlen(step.type)), 0);
            }
        }
        EXPECT_EQ(wait_bounded(t.shell, 10), 0) << t.seen;
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count(),
                  c.at_most_ms);
        close(t.master);
    }
}

// The caller's stdout is a terminal whose reader has stalled (ssh over a
// hung network, a paused screen): the run still ends by its deadline, and
// logs what it could not pass on.
TEST(Terminal, StalledReaderHoldsNoRunPastItsDeadline)
{
    qo_test::ScratchPath log;
    int master = -1;
    fflush(nullptr);
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        qo_log_open(log.c_str(), 5);
        qo_run_options o{};
        o.log_output = 6;
        o.timeout_ms = 500;
        const char *const argv[] = {"yes", nullptr};
        const auto start = std::chrono::steady_clock::now();
        qo_run(argv, &o);
        qo_log_close();
        exit(std::chrono::steady_clock::now() - start < std::chrono::seconds(3) ? 0
                                                                                : 1);
    }
    EXPECT_EQ(wait_bounded(child, 8), 0);
    EXPECT_TRUE(std::regex_search(
        log.contents(),
        std::regex(
            "DBG5: .*: stdout: [1-9][0-9]* bytes not passed on by the deadline\n")))
        << log.contents();
    close(master);
}

} // namespace
