// Contained runs, each in a cgroup v2 group of its own killed whole, and
// what every run used. The group tests need write access to this
// process's cgroup v2 group (root, or a delegated group); they skip
// without it.
#include "qo.h"
#include "qo.hpp"
#include "support.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using qo_test::ScratchPath;

long ms_since(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
            .count());
}

// Where the groups are, found apart from the library: the mount of the
// whole cgroup v2 hierarchy, and the folder of a group ("0::" path).
std::string cgroup2_mount()
{
    std::istringstream mounts(qo_test::read_file("/proc/self/mountinfo"));
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        if (root == "/" && line.find(" - cgroup2 ") != std::string::npos)
            return point;
    }
    return "";
}

std::string folder_of(const std::string &group)
{
    return cgroup2_mount() + (group == "/" ? "" : group);
}

std::string own_folder()
{
    const std::string all = qo_test::read_file("/proc/self/cgroup");
    const size_t at = all.find("0::");
    return at == std::string::npos
               ? ""
               : folder_of(all.substr(at + 3, all.find('\n', at) - at - 3));
}

std::string why_no_cgroup()
{
    if (cgroup2_mount().empty() || own_folder().empty())
        return "no cgroup v2 hierarchy holds this process's group";
    if (access(own_folder().c_str(), W_OK) != 0)
        return "no write access to " + own_folder() + " (root, or a delegated group)";
    return "";
}

class Contained : public qo_test::Bounded<60> {
  protected:
    void SetUp() override
    {
        Bounded::SetUp();
        if (const std::string why = why_no_cgroup(); !why.empty())
            GTEST_SKIP() << why;
    }
};

// A command whose child leaves its group and session, writes its control
// group into argv[3] and says "escaped"; both sleep argv[4] seconds, a
// figure no other test sleeps, which names them in /proc.
struct Escaping {
    ScratchPath file;
    std::string token = "60." + std::to_string(getpid()) + std::to_string(++made);
    const char *argv[6] = {
        "sh",
        "-c",
        "setsid sh -c 'grep ^0:: /proc/self/cgroup >\"$0\"; echo "
        "escaped; exec sleep \"$1\"' \"$0\" \"$1\" & exec sleep \"$1\"",
        file.c_str(),
        token.c_str(),
        nullptr};
    static inline int made = 0;

    // The processes still sleeping (a zombie shows no command).
    std::vector<pid_t> left() const
    {
        std::vector<pid_t> found;
        for (const auto &entry : std::filesystem::directory_iterator("/proc"))
            if (qo_test::read_file(entry.path() / "cmdline") ==
                "sleep" + std::string(1, '\0') + token + '\0')
                found.push_back(std::stoi(entry.path().filename()));
        return found;
    }
    bool group_gone() const
    {
        const std::string line = file.contents();
        return line.rfind("0::/", 0) == 0 &&
               !std::filesystem::exists(folder_of(line.substr(3, line.size() - 4)));
    }
};

int escaped(void *seen, const char *line, size_t size)
{
    if (std::string(line, size) == "escaped\n")
        static_cast<std::atomic<bool> *>(seen)->store(true);
    return 0;
}

enum class End { deadline, stop, free, run_deadline };

TEST_F(Contained, NothingOutlivesTheRunHoweverItEnds)
{
    const struct {
        End end;
        unsigned flags;
    } rows[] = {{End::deadline, QO_RUN_CGROUP},
                {End::stop, QO_RUN_CGROUP},
                {End::free, QO_RUN_CGROUP},
                {End::run_deadline, QO_RUN_CGROUP},
                {End::run_deadline, 0}}; // 1.4's run: the escapee stays
    for (const auto &row : rows) {
        const Escaping command;
        std::atomic<bool> seen{false};
        qo_run_options o{};
        o.flags = row.flags, o.on_output = escaped, o.context = &seen;
        o.timeout_ms =
            row.end == End::deadline || row.end == End::run_deadline ? 300 : 0;
        auto start = Clock::now();
        const int what = static_cast<int>(row.end);
        if (row.end == End::run_deadline) {
            EXPECT_EQ(qo_run(command.argv, &o), SIGTERM) << what;
        } else {
            qo_job *job = qo_start(command.argv, &o);
            while (row.end != End::deadline && !seen && !qo_job_serve(job, 100)) {
            }
            start = row.end == End::deadline ? start : Clock::now();
            if (row.end == End::stop)
                qo_job_stop(job);
            const int status =
                row.end == End::free ? SIGTERM : qo_job_wait(job, -1, nullptr);
            EXPECT_EQ(status, SIGTERM) << what;
            qo_job_free(job);
        }
        const std::vector<pid_t> left = command.left();
        EXPECT_EQ(left.size(), row.flags ? 0U : 1U) << what;
        for (const pid_t pid : left)
            kill(pid, SIGKILL);
        if (row.flags) {
            EXPECT_LT(ms_since(start), 1500) << what;
            EXPECT_TRUE(command.group_gone())
                << what << ": " << command.file.contents();
        }
    }
}

[[noreturn]] void exit_once_escaped(const Escaping &command)
{
    alarm(60);
    qo_run_options o{};
    o.flags = QO_RUN_CGROUP;
    o.on_output = [](void *, const char *line, size_t size) -> int {
        if (std::string(line, size) == "escaped\n")
            qo_exit(3, "ended");
        return 0;
    };
    qo_run(command.argv, &o);
    _exit(1);
}

TEST_F(Contained, FatalExitKillsTheGroupAndRemovesIt)
{
    const Escaping command;
    const auto start = Clock::now();
    EXPECT_EXIT(exit_once_escaped(command), testing::ExitedWithCode(3), "ended");
    EXPECT_LT(ms_since(start), 1500);
    EXPECT_TRUE(command.left().empty());
    EXPECT_TRUE(command.group_gone()) << command.file.contents();
}

// In a mount namespace of its own whose cgroup tree is read-only: 0 when
// the run is refused as it should be with nothing started, 77 when the
// namespace cannot be had.
[[noreturn]] void run_in_read_only_tree(const char *marker)
{
    alarm(60);
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(nullptr, cgroup2_mount().c_str(), nullptr,
              MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
        _exit(77);
    char *why = nullptr;
    qo_run_options o{};
    o.flags = QO_RUN_CGROUP, o.why = &why;
    const char *const argv[] = {"sh", "-c", "echo started >\"$0\"", marker, nullptr};
    const bool refused = qo_run(argv, &o) == -1 && errno == EROFS &&
                         why == "Unable to create a control group in " + own_folder() +
                                    ": Read-only file system";
    exit(refused && access(marker, F_OK) != 0 ? 0 : 1); // exit(): counts are written
}

// Where no group can be made, or not with its limits, nothing starts.
TEST_F(Contained, RefusedWithNothingStarted)
{
    ScratchPath marker;
    const pid_t child = fork();
    if (child == 0)
        run_in_read_only_tree(marker.c_str());
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) % 77 == 0) << status;
    if (WEXITSTATUS(status) == 77)
        fprintf(stderr, "the read-only tree left out: no mount namespace here\n");
    const std::string own = own_folder(), none = own + "/none";
    const std::string enabled = qo_test::read_file(own + "/cgroup.subtree_control");
    const qo_cgroup_limits memory{64 << 20, 0, 0, {}}, pids{0, 16, 0, {}},
        weight{0, 0, 50, {}}, heavy{0, 0, 20000, {}};
    const auto not_enabled = [&](const char *controller, const char *file) {
        return std::regex_search(enabled,
                                 std::regex(std::string("\\b") + controller + "\\b"))
                   ? ""
                   : "Unable to set " + std::string(file) + " in a control group in " +
                         own + ": the " + controller +
                         " controller is not enabled there (cgroup.subtree_control)";
    };
    const struct {
        unsigned flags;
        const char *folder;
        const qo_cgroup_limits *limits;
        int error;
        std::string why; // "": not refused
    } rows[] = {
        {QO_RUN_CGROUP, "/tmp", nullptr, EINVAL,
         "Unable to create a control group in /tmp: not a cgroup v2 folder"},
        {QO_RUN_CGROUP, none.c_str(), nullptr, ENOENT,
         "Unable to create a control group in " + none + ": No such file or directory"},
        {QO_RUN_CGROUP, nullptr, &memory, ENOTSUP, not_enabled("memory", "memory.max")},
        {QO_RUN_CGROUP, nullptr, &pids, ENOTSUP, not_enabled("pids", "pids.max")},
        {QO_RUN_CGROUP, nullptr, &weight, ENOTSUP, not_enabled("cpu", "cpu.weight")},
        {QO_RUN_CGROUP, nullptr, &heavy, EINVAL,
         "Unable to set cpu.weight to 20000: it takes 1 to 10000"},
        {0, "/tmp", nullptr, EINVAL, "cgroup and cgroup_limits need QO_RUN_CGROUP"},
    };
    for (const auto &row : rows) {
        char *why = nullptr;
        qo_run_options o{};
        o.flags = row.flags, o.cgroup = row.folder, o.cgroup_limits = row.limits;
        o.why = &why;
        const char *const argv[] = {"touch", marker.c_str(), nullptr};
        const int status = qo_run(argv, &o);
        EXPECT_EQ(status, row.why.empty() ? 0 : -1) << row.why;
        EXPECT_EQ(errno, row.why.empty() ? 0 : row.error) << row.why;
        EXPECT_EQ(why, row.why);
        EXPECT_EQ(access(marker.c_str(), F_OK) == 0, row.why.empty()) << row.why;
        unlink(marker.c_str());
        qo_free(&why);
    }
}

// In a mount namespace of its own, the cgroup v2 tree moved: 0 when a run
// finds the caller's group where the tree now is, or is refused where no
// tree is mounted at all; 77 when the namespace cannot be had. The moved
// tree's folder has a blank, which the mount table writes escaped, and the
// table is grown past one page with mounts stacked on a scratch folder.
// exit(), not _exit(): a coverage build's counts are written at exit.
[[noreturn]] void run_in_moved_tree(bool mounted)
{
    alarm(60);
    const std::string tree = cgroup2_mount(), own = own_folder();
    const std::string moved = "/tmp/qo moved " + std::to_string(getpid()),
                      stack = "/tmp/qo-stack-" + std::to_string(getpid());
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        exit(77);
    bool set = mkdir(moved.c_str(), 0700) == 0 && mkdir(stack.c_str(), 0700) == 0;
    for (int i = 0; set && i < 48; ++i)
        set = mount("qo-stack", stack.c_str(), "tmpfs", 0, nullptr) == 0;
    set = set && (!mounted ||
                  mount(tree.c_str(), moved.c_str(), nullptr, MS_BIND, nullptr) == 0);
    set = set && umount2(tree.c_str(), MNT_DETACH) == 0;
    set = set && qo_test::read_file("/proc/self/mountinfo").size() > 4096;
    char *why = nullptr, *out = nullptr;
    qo_run_options o{};
    o.flags = QO_RUN_CGROUP, o.why = &why, o.output = &out;
    const char *const argv[] = {"grep", "^0::", "/proc/self/cgroup", nullptr};
    const int status = set ? qo_run(argv, &o) : -2;
    const std::string group =
        own.substr(tree.size()) + "/qo-" + std::to_string(getpid());
    const bool held =
        mounted
            ? status == 0 && out && std::string(out).rfind("0::" + group + "-", 0) == 0
            : status == -1 && errno == ENOENT && why &&
                  std::string(why) ==
                      "Unable to create a control group: the caller's cgroup v2 "
                      "group is in no cgroup2 file system mounted here";
    if (!held)
        fprintf(stderr, "status %d, why %s, output %s", status, why, out);
    qo_free(&why);
    qo_free(&out);
    // Named, the folder is logged as a shell word.
    const std::string named = moved + own.substr(tree.size());
    ScratchPath log;
    qo_log_open(log.c_str(), 5);
    o.cgroup = named.c_str();
    const bool named_ran = !mounted || qo_run(argv, &o) == 0;
    qo_log_close();
    const bool logged =
        named_ran && (!mounted || log.contents().find(" # contained in '" + named +
                                                      "' # pid") != std::string::npos);
    if (!logged)
        fprintf(stderr, "logged %s", log.contents().c_str());
    qo_free(&out);
    exit(held && logged ? 0 : 1);
}

// Wherever the cgroup v2 tree is mounted, whatever its path holds, and
// however long the mount table: the run finds the caller's group there.
TEST_F(Contained, FindsTheTreeWhereverItIsMounted)
{
    for (const bool mounted : {true, false}) {
        const pid_t child = fork();
        if (child == 0)
            run_in_moved_tree(mounted);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        if (WEXITSTATUS(status) == 77)
            GTEST_SKIP() << "no mount namespace here";
        EXPECT_EQ(WEXITSTATUS(status), 0) << mounted;
        for (const char *made : {"/tmp/qo moved ", "/tmp/qo-stack-"})
            rmdir((made + std::to_string(child)).c_str());
    }
}

// A pipeline is one group below the caller's, the child's setup applied
// inside it, and the log says it is contained.
TEST_F(Contained, OneGroupForAPipelineWithTheChildsSetup)
{
    ScratchPath log;
    qo_log_open(log.c_str(), 5);
    char *out = nullptr;
    qo_run_options o{};
    o.flags = QO_RUN_CGROUP | QO_RUN_NEW_SESSION | (geteuid() == 0 ? QO_RUN_USER : 0);
    o.uid = o.gid = 65534, o.output = &out;
    const qo_rlimit limits[] = {{RLIMIT_NOFILE, 64, 64}, {-1, 0, 0}};
    o.limits = limits;
    const char *first[] = {"sh", "-c",
                           "grep ^0:: /proc/self/cgroup; id -u; ulimit -n; test "
                           "\"$(cut -d' ' -f6 /proc/$$/stat)\" = $$ && echo leader",
                           nullptr};
    const char *second[] = {"sh", "-c", "cat; grep ^0:: /proc/self/cgroup", nullptr};
    const char *const *stages[] = {first, second, nullptr};
    ASSERT_EQ(qo_pipeline(stages, &o, nullptr), 0);
    qo_log_close();
    const std::string user = geteuid() == 0 ? "65534" : std::to_string(geteuid());
    EXPECT_TRUE(
        std::regex_match(out, std::regex("(0::(/.*)?/qo-" + std::to_string(getpid()) +
                                         "-[0-9]+\n)" + user + "\n64\nleader\n\\1")))
        << out;
    EXPECT_NE(log.contents().find("/proc/self/cgroup' # contained # pids "),
              std::string::npos);
    qo_free(&out);
}

// A command that cannot start leaves no group behind, alone or as the
// second stage of a pipeline whose first one started in it.
TEST_F(Contained, CommandThatCannotStartLeavesNoGroup)
{
    const std::string own = own_folder(),
                      prefix = "qo-" + std::to_string(getpid()) + "-";
    const auto groups_left = [&] {
        size_t n = 0;
        for (const auto &entry : std::filesystem::directory_iterator(own))
            n += entry.path().filename().string().rfind(prefix, 0) == 0;
        return n;
    };
    const char *const missing[] = {"no-such-qo-command", nullptr};
    const char *const first[] = {"echo", "lost", nullptr};
    const char *const *const alone[] = {missing, nullptr};
    const char *const *const second[] = {first, missing, nullptr};
    for (const auto *stages : {alone, second}) {
        char *why = nullptr;
        qo_run_options o{};
        o.flags = QO_RUN_CGROUP, o.why = &why;
        EXPECT_EQ(qo_pipeline(stages, &o, nullptr), -1);
        EXPECT_EQ(errno, ENOENT);
        const std::string place = stages == alone ? "" : " (stage 2 of 2)";
        const std::string told = why ? why : "";
        EXPECT_EQ(told.rfind("Unable to run no-such-qo-command" + place +
                                 ": No such file or directory",
                             0),
                  0U)
            << told; // a pipeline's goes on with the stage already started
        EXPECT_EQ(groups_left(), 0U);
        qo_free(&why);
    }
}

// Held jobs in several threads at once, each in a group of its own.
TEST_F(Contained, ThreadsEachWithGroupsOfTheirOwn)
{
    std::atomic<int> ended{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&ended] {
            for (int i = 0; i < 5; ++i) {
                qo_run_options o{};
                o.flags = QO_RUN_CGROUP;
                const char *const argv[] = {"true", nullptr};
                qo_job *job = qo_start(argv, &o);
                ended += job && qo_job_wait(job, -1, nullptr) == 0;
                qo_job_free(job);
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(ended, 20);
}

// A shell's busy loop: its CPU time as wait4() or the group tells it,
// against what the kernel adds to this process's children's.
TEST(Usage, CpuAsTheKernelCountsIt)
{
    for (const unsigned flags : {0U, QO_RUN_CGROUP}) {
        if (flags && !why_no_cgroup().empty())
            continue;
        qo_run_usage used{};
        qo_run_options o{};
        o.flags = flags, o.usage = &used;
        rusage before{}, after{};
        getrusage(RUSAGE_CHILDREN, &before);
        const char *const argv[] = {
            "sh", "-c", "i=0; while [ $i -lt 300000 ]; do i=$((i+1)); done", nullptr};
        ASSERT_EQ(qo_run(argv, &o), 0);
        getrusage(RUSAGE_CHILDREN, &after);
        const auto us = [](const timeval &t) { return t.tv_sec * 1e6 + t.tv_usec; };
        const double counted = us(after.ru_utime) - us(before.ru_utime) +
                               us(after.ru_stime) - us(before.ru_stime);
        EXPECT_GT(counted, 50000) << flags;
        EXPECT_NEAR(used.user_us + used.system_us, counted, 0.2 * counted) << flags;
    }
}

// Each stage's peak: tail holds its whole input of 100 MiB, which ends
// in no line feed. The kernel counts in a command's peak what its process
// was before its exec, a copy of this one: only more than that shows.
TEST(Usage, EachStagesPeakAndZerosForOneNotStarted)
{
    std::istringstream status(qo_test::read_file("/proc/self/status"));
    std::string line;
    while (std::getline(status, line) && line.rfind("VmHWM:", 0) != 0) {
    }
    const long long hundred_mib = 100 * 1024, own = std::stoll(line.substr(6));
    const char *head[] = {"head", "-c", "100M", "/dev/zero", nullptr};
    const char *hold[] = {"tail", nullptr}, *none[] = {"no-such-qo-command", nullptr};
    const char *const *held[] = {head, hold, nullptr}, *const * lost[] = {head, none,
                                                                          nullptr};
    qo_run_usage used[2]{};
    qo_run_options o{};
    o.usage = used, o.output_file = "/dev/null";
    ASSERT_EQ(qo_pipeline(held, &o, nullptr), 0);
    EXPECT_GE(used[1].peak_kib, hundred_mib);
    EXPECT_LT(used[0].peak_kib, own + hundred_mib / 4);
    EXPECT_EQ(qo_pipeline(lost, &o, nullptr), -1);
    EXPECT_EQ(used[1].user_us + used[1].system_us + used[1].peak_kib, 0);
    const qo::run_result r = qo::pipeline(
        {{"head", "-c", "100M", "/dev/zero"}, {"tail"}}, {.output_file = "/dev/null"});
    ASSERT_EQ(r.usage.size(), 2U);
    EXPECT_GE(r.usage[1].peak_kib, static_cast<size_t>(hundred_mib));
    EXPECT_GT(r.usage[1].user + r.usage[1].system, std::chrono::microseconds(0));
}

// From C++, contained: the group's own counters, with the CPU of an
// escapee the command never waited for, killed at the end.
TEST_F(Contained, FromCpp)
{
    const qo::run_result r =
        qo::run({"sh", "-c", "setsid sh -c 'while :; do :; done' & sleep 0.3"},
                {.contain = true});
    EXPECT_TRUE(r.ok()) << r.describe();
    ASSERT_EQ(r.usage.size(), 1U);
    EXPECT_GT(r.usage[0].user + r.usage[0].system, std::chrono::milliseconds(30));
}

} // namespace
