// qo_run at a terminal, driven as a person would: a pseudo-terminal whose
// session has a small job-control shell, and bytes typed at its master.
#include "qo.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
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

// The caller, in a group of its own that the shell put in the foreground:
// runs the command and prints how it ended and whether it has the terminal
// back. Streamed, it prints each line of the command's as it comes.
[[noreturn]] void caller(const std::vector<const char *> &argv, int timeout_ms,
                         bool streamed)
{
    qo_run_options o{};
    o.timeout_ms = timeout_ms;
    if (streamed)
        o.on_output = [](void *, const char *line, size_t size) {
            printf("line: %.*s", static_cast<int>(size), line);
            return fflush(stdout);
        };
    const int status = run(argv, o);
    char *text = qo_status_text(status);
    printf("caller: %s, %s\n", text, tcgetpgrp(0) == getpgrp() ? "foreground" : "not");
    fflush(stdout);
    exit(0); // not _exit: a coverage build keeps the counters of the run
}

// What an interactive shell does for one job: foreground, and on a stop
// "[stopped]" and a line read before fg.
[[noreturn]] void shell(const std::vector<const char *> &argv, int timeout_ms,
                        bool tostop, bool streamed)
{
    for (const int s : {SIGTTOU, SIGTSTP, SIGINT})
        signal(s, SIG_IGN);
    if (tostop) {
        termios t{};
        tcgetattr(0, &t);
        t.c_lflag |= TOSTOP;
        tcsetattr(0, TCSANOW, &t);
    }
    const pid_t job = fork();
    if (job == 0) {
        setpgid(0, 0);
        tcsetpgrp(0, getpgrp());
        for (const int s : {SIGTTOU, SIGTSTP, SIGINT})
            signal(s, SIG_DFL);
        caller(argv, timeout_ms, streamed);
    }
    setpgid(job, job);
    tcsetpgrp(0, job);
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
    bool streamed = false; // the lines go to a callback
};

TEST(Terminal, PersonAtAPseudoTerminalDrivesTheCommand)
{
    const std::string ask =
        "printf 'password: ' >/dev/tty; read p </dev/tty; echo \"got $p\"";
    const std::vector<TerminalCase> cases = {
        {"password read from /dev/tty",
         {"sh", "-c", ask.c_str(), nullptr},
         0,
         false,
         {{"password: ", "hunter2\n"},
          {"got hunter2", nullptr},
          {"caller: exited with status 0, foreground", nullptr}},
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
         true},
        {"the deadline ends the whole group",
         {"sh", "-c", "sleep 30 & echo ready; wait", nullptr},
         500,
         false,
         {{"ready", nullptr},
          {"caller: killed by signal 15 (Terminated), foreground", nullptr}},
         5000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fflush(nullptr);
        Terminal t;
        t.shell = forkpty(&t.master, nullptr, nullptr, nullptr);
        ASSERT_GE(t.shell, 0);
        if (t.shell == 0)
            shell(c.argv, c.timeout_ms, c.tostop, c.streamed);
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
        int status = 0;
        ASSERT_EQ(waitpid(t.shell, &status, 0), t.shell);
        EXPECT_EQ(status, 0) << t.seen;
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count(),
                  c.at_most_ms);
        close(t.master);
    }
}

} // namespace
