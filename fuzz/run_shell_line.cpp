// The command line a run logs, run by /bin/sh: each command the shell
// starts gets the arguments, environment, folder, umask and descriptors the
// run itself would give it, for any bytes in the words, names and files.
//
// Every command is fuzz_line_dump under the command's name: it writes what
// it was given to a report and runs nothing; "env" is one too, and what env
// would do with its arguments is worked out here. The shell runs in a
// private folder, in namespaces of its own (user, pid), with a
// PATH that holds only the dumps; words naming a shell builtin are changed,
// so that no misread line can run anything else.
#include "check.h"
#include "run/qo_run_line_internal.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <dirent.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

// ---- The private folder ---------------------------------------------------

struct Place {
    std::string root; // bin/ (the PATH), work/ (where the shell starts), reports/
    int fds[10] = {}; // what the shell gets as 0-9, kept above them here
    Place();
    ~Place();
    std::string at(const std::string &name) const { return root + "/" + name; }
};

int remove_one(const char *path, const struct stat *, int, FTW *)
{
    return remove(path);
}

void remove_tree(const std::string &path)
{
    nftw(path.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
}

std::string folder_of_this_program()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    FUZZ_CHECK(n > 0);
    path[n] = '\0';
    *strrchr(path, '/') = '\0';
    return path;
}

void copy_file(const std::string &from, const std::string &to)
{
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    FUZZ_CHECK(in >= 0 && out >= 0);
    char buffer[65536];
    for (ssize_t n; (n = read(in, buffer, sizeof buffer)) > 0;)
        FUZZ_CHECK(write(out, buffer, static_cast<size_t>(n)) == n);
    close(in);
    close(out);
}

int open_high(const std::string &path, int flags)
{
    const int fd = open(path.c_str(), flags | O_CREAT | O_CLOEXEC, 0644);
    FUZZ_CHECK(fd >= 0);
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, 100);
    FUZZ_CHECK(high >= 0);
    close(fd);
    return high;
}

Place::Place()
{
    char name[] = "/tmp/qo-fuzz-line-XXXXXX";
    FUZZ_CHECK(mkdtemp(name));
    char real[PATH_MAX];
    FUZZ_CHECK(realpath(name, real));
    root = real;
    for (const char *folder : {"bin", "work", "reports"})
        FUZZ_CHECK(mkdir(at(folder).c_str(), 0755) == 0);
    copy_file(folder_of_this_program() + "/fuzz_line_dump", at("dump"));
    FUZZ_CHECK(symlink(at("dump").c_str(), at("bin/env").c_str()) == 0);
    fds[0] = open_high(at("stdin"), O_RDONLY);
    fds[1] = open_high(at("stdout"), O_WRONLY | O_APPEND);
    fds[2] = open_high(at("stderr"), O_WRONLY | O_APPEND);
    for (int fd = 3; fd < 10; fd++)
        fds[fd] = open_high(at("fd" + std::to_string(fd)), O_RDWR);
}

Place::~Place()
{
    remove_tree(root);
}

Place &place()
{
    static Place *const kept = [] {
        static Place p;
        return &p;
    }();
    return *kept;
}

// ---- Options from the fuzz bytes -----------------------------------------

// Each word of dash's that runs inside the shell, reserved words excepted:
// a misread line must not reach one.
bool is_builtin(const std::string &word)
{
    static const char *const builtins[] = {
        ".",      ":",       "[",        "alias", "bg",      "break",    "cd",
        "chdir",  "command", "continue", "echo",  "eval",    "exec",     "exit",
        "export", "false",   "fc",       "fg",    "getopts", "hash",     "jobs",
        "kill",   "local",   "printf",   "pwd",   "read",    "readonly", "return",
        "set",    "shift",   "test",     "times", "trap",    "true",     "type",
        "ulimit", "umask",   "unalias",  "unset", "wait"};
    std::string bare;
    for (char c : word)
        if (!strchr("'\"\\`$", c))
            bare += c;
    for (const char *b : builtins)
        if (bare == b)
            return true;
    return false;
}

std::string word(FuzzedDataProvider &fuzz, size_t max = 40)
{
    std::string w = fuzz.ConsumeRandomLengthString(max).c_str();
    return is_builtin(w) ? "x" + w : w;
}

// A name the PATH finds: no slash, none of "", "." and "..".
std::string command_name(FuzzedDataProvider &fuzz)
{
    std::string name = word(fuzz);
    name.erase(std::remove(name.begin(), name.end(), '/'), name.end());
    if (name.empty() || name == "." || name == ".." || is_builtin(name))
        name = "x" + name;
    return name;
}

// A name for a file in the folder: the same, with no slash.
std::string file_name(FuzzedDataProvider &fuzz)
{
    return command_name(fuzz);
}

// A folder within work/, relative or absolute, never through "..".
std::string folder(FuzzedDataProvider &fuzz, const Place &p)
{
    std::string dir = fuzz.ConsumeRandomLengthString(60).c_str();
    std::string cleaned;
    size_t from = 0;
    while (from <= dir.size()) {
        size_t end = dir.find('/', from);
        end = end == std::string::npos ? dir.size() : end;
        const std::string part = dir.substr(from, end - from);
        cleaned += part == ".." ? "_" : part;
        if (end < dir.size())
            cleaned += '/';
        from = end + 1;
    }
    if (!cleaned.empty() && cleaned[0] == '/')
        cleaned = p.at("work") + cleaned;
    return cleaned.empty() ? "." : cleaned;
}

struct Options {
    std::vector<Strings> stages;
    std::string dir, input_file, output_file;
    bool has_dir = false, has_input = false, has_output = false;
    Strings env;
    std::vector<int> pass_fds;
    qo_run_options o{};
};

void decide(FuzzedDataProvider &fuzz, Options &r, const Place &p)
{
    const int count = fuzz.ConsumeIntegralInRange(1, 3);
    for (int s = 0; s < count; s++) {
        Strings argv{command_name(fuzz)};
        const int words = fuzz.ConsumeIntegralInRange(0, 3);
        for (int i = 0; i < words; i++)
            argv.push_back(word(fuzz));
        r.stages.push_back(argv);
    }
    unsigned flags = 0;
    r.has_dir = fuzz.ConsumeBool();
    if (r.has_dir)
        r.dir = folder(fuzz, p);
    const int changes = fuzz.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < changes; i++) {
        static const char *const names[] = {"A", "B", "PATH"};
        const int pick = fuzz.ConsumeIntegralInRange(0, 3);
        std::string name = pick < 3 ? names[pick] : word(fuzz, 12);
        name.erase(std::remove(name.begin(), name.end(), '='), name.end());
        if (name.empty())
            name = "E";
        r.env.push_back(fuzz.ConsumeBool() ? name + "=" + word(fuzz) : name);
    }
    if (fuzz.ConsumeBool())
        flags |= QO_RUN_CLEAR_ENV;
    // env takes a word with '=' for a setting and "-" for -i wherever the
    // command would stand: it cannot start a command so named, and the
    // line does not try.
    if ((flags & QO_RUN_CLEAR_ENV) || !r.env.empty())
        for (Strings &argv : r.stages) {
            argv[0].erase(std::remove(argv[0].begin(), argv[0].end(), '='),
                          argv[0].end());
            if (argv[0].empty() || argv[0] == "-" || is_builtin(argv[0]))
                argv[0] = "x" + argv[0];
        }
    if ((r.has_input = fuzz.ConsumeBool()))
        r.input_file = file_name(fuzz);
    if ((r.has_output = fuzz.ConsumeBool()))
        r.output_file = file_name(fuzz);
    if (fuzz.ConsumeBool())
        flags |= QO_RUN_APPEND;
    if (fuzz.ConsumeBool()) {
        flags |= QO_RUN_UMASK;
        r.o.umask = fuzz.ConsumeIntegralInRange(0, 0777);
    }
    if (fuzz.ConsumeIntegralInRange(0, 3) == 0) {
        flags |= QO_RUN_INPUT_FD;
        r.o.input_fd = fuzz.ConsumeIntegralInRange(3, 9);
    }
    if (fuzz.ConsumeIntegralInRange(0, 3) == 0) {
        flags |= QO_RUN_OUTPUT_FD;
        r.o.output_fd = fuzz.ConsumeIntegralInRange(3, 9);
    }
    if (fuzz.ConsumeIntegralInRange(0, 3) == 0) {
        flags |= QO_RUN_ERRORS_FD;
        r.o.errors_fd = fuzz.ConsumeIntegralInRange(3, 9);
    }
    const int passed = fuzz.ConsumeIntegralInRange(0, 2);
    for (int i = 0; i < passed; i++)
        r.pass_fds.push_back(fuzz.ConsumeIntegralInRange(3, 9));
    r.o.flags = flags;
}

// ---- What the run does ----------------------------------------------------

struct Given {
    Strings argv, env;
    std::string cwd, umask;
    std::string fd[10];
    int fd_flags[10] = {};
};

// A change of the environment as the run applies it: the name's entries
// go, and "NAME=value" comes at the end.
void apply(Strings &env, const std::string &change)
{
    const size_t name = change.find('=');
    const std::string key = change.substr(0, name) + "=";
    env.erase(
        std::remove_if(env.begin(), env.end(),
                       [&](const std::string &e) { return e.rfind(key, 0) == 0; }),
        env.end());
    if (name != std::string::npos)
        env.push_back(change);
}

Strings base_env(const Place &p)
{
    return {"PATH=" + p.at("bin"), "A=a", "B=b"};
}

// Names a shell sets itself on cd: neither side's business.
Strings comparable(Strings env)
{
    env.erase(std::remove_if(env.begin(), env.end(),
                             [](const std::string &e) {
                                 return e.rfind("PWD=", 0) == 0 ||
                                        e.rfind("OLDPWD=", 0) == 0;
                             }),
              env.end());
    std::sort(env.begin(), env.end());
    return env;
}

std::string fd_file(const Place &p, int fd)
{
    return p.at(fd == 0   ? "stdin"
                : fd == 1 ? "stdout"
                : fd == 2 ? "stderr"
                          : "fd" + std::to_string(fd));
}

std::string real(const std::string &path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : "(" + path + ")";
}

Given expected(const Options &r, size_t stage, const Place &p)
{
    const qo_run_options &o = r.o;
    const size_t last = r.stages.size() - 1;
    Given g;
    g.argv = r.stages[stage];
    g.env = (o.flags & QO_RUN_CLEAR_ENV) ? Strings{} : base_env(p);
    for (const std::string &change : r.env)
        apply(g.env, change);
    g.env = comparable(g.env);
    g.cwd = r.has_dir ? real(r.dir[0] == '/' ? r.dir : p.at("work/" + r.dir))
                      : p.at("work");
    char mask[8];
    snprintf(mask, sizeof mask, "%03o",
             o.flags & QO_RUN_UMASK ? o.umask & 0777U : 022U);
    g.umask = mask;
    for (int fd = 0; fd < 10; fd++)
        g.fd_flags[fd] = -2; // not compared
    if (stage > 0)
        g.fd[0] = "pipe";
    else if (o.flags & QO_RUN_INPUT_FD)
        g.fd[0] = fd_file(p, o.input_fd);
    else if (r.has_input) {
        g.fd[0] = p.at("work/" + r.input_file);
        g.fd_flags[0] = O_RDONLY;
    } else
        g.fd[0] = fd_file(p, 0);
    if (stage < last)
        g.fd[1] = "pipe";
    else if (o.flags & QO_RUN_OUTPUT_FD)
        g.fd[1] = fd_file(p, o.output_fd);
    else if (r.has_output) {
        g.fd[1] = p.at("work/" + r.output_file);
        g.fd_flags[1] = O_WRONLY | (o.flags & QO_RUN_APPEND ? O_APPEND : 0);
    } else
        g.fd[1] = fd_file(p, 1);
    g.fd[2] = fd_file(p, o.flags & QO_RUN_ERRORS_FD ? o.errors_fd : 2);
    for (int fd : r.pass_fds)
        g.fd[fd] = fd_file(p, fd);
    return g;
}

// ---- What the shell did ---------------------------------------------------

bool read_text(const std::string &data, size_t &at, std::string &out)
{
    char *end = nullptr;
    const unsigned long n = strtoul(data.c_str() + at, &end, 10);
    const size_t from = static_cast<size_t>(end - data.c_str()) + 1;
    if (*end != ':' && *end != ' ')
        return false;
    if (*end == ' ') { // a count, not a text
        out = data.substr(at, static_cast<size_t>(end - data.c_str()) - at);
        at = from;
        return true;
    }
    if (from + n > data.size())
        return false;
    out = data.substr(from, n);
    at = from + n;
    return true;
}

struct Report {
    Given seen;
    std::string pipe_in, pipe_out; // "pipe:[inode]" of fd 0 and 1, if pipes
};

Report read_report(const std::string &path)
{
    std::string data;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        data.append(buffer, static_cast<size_t>(n));
    close(fd);
    Report r;
    size_t at = 0;
    std::string text;
    for (Strings *list : {&r.seen.argv, &r.seen.env}) {
        FUZZ_CHECK(read_text(data, at, text));
        const int n = atoi(text.c_str());
        for (int i = 0; i < n; i++) {
            FUZZ_CHECK(read_text(data, at, text));
            list->push_back(text);
        }
    }
    FUZZ_CHECK(read_text(data, at, r.seen.cwd) && read_text(data, at, r.seen.umask));
    for (int fd = 0; fd < 10; fd++) {
        FUZZ_CHECK(read_text(data, at, r.seen.fd[fd]) && read_text(data, at, text));
        r.seen.fd_flags[fd] = atoi(text.c_str());
    }
    for (int fd = 0; fd < 2; fd++)
        if (r.seen.fd[fd].rfind("pipe:", 0) == 0) {
            (fd ? r.pipe_out : r.pipe_in) = r.seen.fd[fd];
            r.seen.fd[fd] = "pipe";
        }
    return r;
}

// What GNU env does with its arguments to the environment it got: the
// options it would take (-i, -, -u NAME), the assignments, then the
// command. False where it would do anything else.
bool run_env(Given &g)
{
    Strings args(g.argv.begin() + 1, g.argv.end());
    size_t i = 0;
    for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-'; i++) {
        if (args[i] == "--") {
            i++;
            break;
        }
        for (size_t c = 1; c < args[i].size(); c++) {
            if (args[i][c] == 'i') {
                g.env.clear();
                continue;
            }
            if (args[i][c] != 'u')
                return false;
            std::string name = args[i].substr(c + 1);
            if (name.empty() && ++i < args.size())
                name = args[i];
            if (name.empty() || name.find('=') != std::string::npos)
                return false;
            apply(g.env, name);
            break;
        }
    }
    if (i < args.size() && args[i] == "-") {
        g.env.clear();
        i++;
    }
    for (; i < args.size() && args[i].find('=') != std::string::npos; i++)
        apply(g.env, args[i]);
    if (i == args.size())
        return false; // env would print the environment
    g.argv.assign(args.begin() + static_cast<long>(i), args.end());
    return true;
}

// The stages' reports in pipeline order: each reads the pipe the one
// before it writes.
std::vector<Report> in_order(std::vector<Report> reports)
{
    std::vector<Report> ordered;
    for (size_t n = reports.size(); ordered.size() < n;) {
        auto next = std::find_if(reports.begin(), reports.end(), [&](const Report &r) {
            return ordered.empty()
                       ? std::none_of(reports.begin(), reports.end(),
                                      [&](const Report &o) {
                                          return !r.pipe_in.empty() &&
                                                 o.pipe_out == r.pipe_in;
                                      })
                       : !r.pipe_in.empty() && r.pipe_in == ordered.back().pipe_out;
        });
        FUZZ_CHECK(next != reports.end());
        ordered.push_back(*next);
        reports.erase(next);
    }
    return ordered;
}

// ---- Running the line ---------------------------------------------------

struct Shell {
    const Place *p;
    const char *work;
    char **argv, **envp;
};

// In the child, which shares the harness's memory until it execs: system
// calls only.
int start_shell(void *context)
{
    const Shell &s = *static_cast<const Shell *>(context);
    for (int fd = 0; fd < 10; fd++)
        dup2(s.p->fds[fd], fd);
    syscall(SYS_close_range, 10U, ~0U, 0U);
    umask(022);
    if (chdir(s.work) == 0)
        execve("/bin/sh", s.argv, s.envp);
    _exit(127);
}

// /bin/sh -c line from work/, with descriptors 0-9 on the place's files,
// as pid 1 of namespaces of its own (user and pid: a network namespace
// costs more to make than the rest of a run); its exit status, or -1 where
// the system gives no namespaces.
int run_shell(const Place &p, const std::string &line)
{
    const std::string work = p.at("work");
    Strings env_strings = base_env(p);
    std::vector<char *> envp;
    for (std::string &e : env_strings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    // "--": a line may start with a command named "-x" or "+x".
    char *argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                    const_cast<char *>("--"), const_cast<char *>(line.c_str()),
                    nullptr};
    FUZZ_CHECK(ftruncate(p.fds[2], 0) == 0);
    Shell shell{&p, work.c_str(), argv, envp.data()};
    static std::vector<char> stack(1 << 16);
    const pid_t pid =
        clone(start_shell, stack.data() + stack.size(),
              CLONE_VM | CLONE_VFORK | CLONE_NEWUSER | CLONE_NEWPID | SIGCHLD, &shell);
    if (pid < 0 && (errno == EPERM || errno == EINVAL || errno == ENOSPC))
        return -1; // no namespaces for this user: nothing runs
    FUZZ_CHECK(pid > 0);
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    FUZZ_CHECK(pidfd >= 0);
    pollfd ready{pidfd, POLLIN, 0};
    const int polled = poll(&ready, 1, 20000);
    if (polled != 1)
        kill(pid, SIGKILL);
    close(pidfd);
    int status = 0;
    FUZZ_CHECK(waitpid(pid, &status, 0) == pid);
    if (polled != 1)
        fprintf(stderr, "the shell did not end: %s\n", line.c_str());
    FUZZ_CHECK(polled == 1);
    return status;
}

std::string shown(const Strings &list)
{
    std::string text;
    for (const std::string &s : list) {
        char *quoted = qo_shell_quote(s.c_str());
        text += std::string(quoted) + " ";
        qo_free(&quoted);
    }
    return text;
}

void report_difference(const std::string &line, size_t stage, const Given &want,
                       const Given &got, const char *what)
{
    fprintf(stderr, "line: %s\nstage %zu: %s differs\n", line.c_str(), stage, what);
    fprintf(stderr, "run:   argv %s\n       env %s\n       cwd %s umask %s\n",
            shown(want.argv).c_str(), shown(want.env).c_str(), want.cwd.c_str(),
            want.umask.c_str());
    fprintf(stderr, "shell: argv %s\n       env %s\n       cwd %s umask %s\n",
            shown(got.argv).c_str(), shown(got.env).c_str(), got.cwd.c_str(),
            got.umask.c_str());
    for (int fd = 0; fd < 10; fd++)
        if (!want.fd[fd].empty())
            fprintf(stderr, "fd %d: run %s (%d), shell %s (%d)\n", fd,
                    want.fd[fd].c_str(), want.fd_flags[fd], got.fd[fd].c_str(),
                    got.fd_flags[fd]);
}

void compare(const std::string &line, size_t stage, const Given &want, const Given &got)
{
    const char *what = want.argv != got.argv     ? "argv"
                       : want.env != got.env     ? "the environment"
                       : want.cwd != got.cwd     ? "the folder"
                       : want.umask != got.umask ? "the umask"
                                                 : nullptr;
    for (int fd = 0; fd < 10 && !what; fd++)
        if (!want.fd[fd].empty() &&
            (want.fd[fd] != got.fd[fd] ||
             (want.fd_flags[fd] != -2 && want.fd_flags[fd] != got.fd_flags[fd])))
            what = "a descriptor";
    if (what)
        report_difference(line, stage, want, got, what);
    FUZZ_CHECK(!what);
}

// Makes the files and folders the options name; false when the system
// cannot hold them (a name too long), and the input is not used.
bool prepare(const Options &r, const Place &p)
{
    remove_tree(p.at("work"));
    remove_tree(p.at("reports"));
    if (mkdir(p.at("work").c_str(), 0755) != 0 ||
        mkdir(p.at("reports").c_str(), 0755) != 0)
        return false;
    for (const Strings &argv : r.stages) {
        const std::string link = p.at("bin/" + argv[0]);
        if (symlink(p.at("dump").c_str(), link.c_str()) != 0 && errno != EEXIST)
            return false;
    }
    if (r.has_dir) {
        const std::string dir = r.dir[0] == '/' ? r.dir : p.at("work/" + r.dir);
        for (size_t at = p.at("work").size(); at != std::string::npos;
             at = dir.find('/', at + 1))
            if (mkdir(dir.substr(0, at).c_str(), 0755) != 0 && errno != EEXIST)
                return false;
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
        struct stat about {};
        if (stat(dir.c_str(), &about) != 0 || !S_ISDIR(about.st_mode))
            return false;
    }
    for (const std::string *file : {r.has_input ? &r.input_file : nullptr,
                                    r.has_output ? &r.output_file : nullptr}) {
        if (!file)
            continue;
        const int fd =
            open(p.at("work/" + *file).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        close(fd);
    }
    return true;
}

void unlink_commands(const Options &r, const Place &p)
{
    for (const Strings &argv : r.stages)
        if (argv[0] != "env")
            unlink(p.at("bin/" + argv[0]).c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Place &p = place();
    FuzzedDataProvider fuzz(data, size);
    Options r;
    decide(fuzz, r, p);

    std::vector<std::vector<const char *>> argvs;
    for (const Strings &argv : r.stages) {
        argvs.emplace_back();
        for (const std::string &w : argv)
            argvs.back().push_back(w.c_str());
        argvs.back().push_back(nullptr);
    }
    std::vector<const char *const *> stage_argv;
    for (const auto &argv : argvs)
        stage_argv.push_back(argv.data());
    std::vector<const char *> env;
    for (const std::string &e : r.env)
        env.push_back(e.c_str());
    env.push_back(nullptr);
    std::vector<int> pass = r.pass_fds;
    pass.push_back(-1);
    r.o.dir = r.has_dir ? r.dir.c_str() : nullptr;
    r.o.env = env.size() > 1 ? env.data() : nullptr;
    r.o.input_file = r.has_input ? r.input_file.c_str() : nullptr;
    r.o.output_file = r.has_output ? r.output_file.c_str() : nullptr;
    r.o.pass_fds = r.pass_fds.empty() ? nullptr : pass.data();

    if (!prepare(r, p)) {
        unlink_commands(r, p);
        return -1; // not kept in the corpus
    }
    const qo_run::Stages stages{stage_argv.data(), stage_argv.size()};
    char *line = qo_run_line::command_line(stages, r.o, {__LINE__, __FILE__, "fuzz"});
    const std::string text = line;
    free(line);
    const int status = run_shell(p, text);
    unlink_commands(r, p);
    if (status == -1) {
        static bool told = false;
        if (!told)
            fprintf(stderr,
                    "fuzz_run_shell_line: no user namespaces here, no line is run\n");
        told = true;
        return -1;
    }

    std::vector<Report> reports;
    if (DIR *folder = opendir(p.at("reports").c_str())) {
        while (const dirent *entry = readdir(folder))
            if (entry->d_name[0] != '.')
                reports.push_back(
                    read_report(p.at(std::string("reports/") + entry->d_name)));
        closedir(folder);
    }
    if (reports.size() != r.stages.size() || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        char errors[4096] = {};
        pread(p.fds[2], errors, sizeof errors - 1, 0);
        fprintf(stderr,
                "line: %s\n%zu of %zu commands ran, status %d; the shell said:\n%s\n",
                text.c_str(), reports.size(), r.stages.size(), status, errors);
        FUZZ_CHECK(reports.size() == r.stages.size());
        FUZZ_CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::vector<Report> ordered = in_order(reports);
    const bool changes_env = (r.o.flags & QO_RUN_CLEAR_ENV) || r.o.env;
    for (size_t i = 0; i < ordered.size(); i++) {
        Given got = ordered[i].seen;
        if (changes_env && !(got.argv[0] == "env" && run_env(got))) {
            report_difference(text, i, expected(r, i, p), got, "what env is given");
            FUZZ_CHECK(!"env runs the command");
        }
        got.env = comparable(got.env);
        compare(text, i, expected(r, i, p), got);
    }
    return 0;
}
