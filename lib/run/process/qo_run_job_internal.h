// The job that a run's processes make: one process group, its deadline,
// the terminal while it has it, its stops and the reaping. Internal to the
// library.
#pragma once

#include "run/base/qo_run_base_internal.h"
#include "run/process/qo_run_cgroup_internal.h"
#include "run/process/qo_run_tty_internal.h"

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace qo_run_job {

using qo_run::allocate;
using qo_run::close_fd;
using qo_run::now_us;
using qo_run::Site;

// For the run, the calling thread blocks SIGCHLD, so that a handler that
// reaps every child cannot take the command's status (system() does the
// same), and, at a terminal, SIGTTOU, so that it may hand the terminal over
// and take it back, and pass output on while the job has it. writes: the
// call's SIGPIPE and SIGXFSZ too, in the same change of the mask.
class RunSignals {
  public:
    explicit RunSignals(bool at_terminal, bool writes = false) noexcept
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGCHLD);
        if (at_terminal)
            sigaddset(&set, SIGTTOU);
        if (writes) {
            sigaddset(&set, SIGPIPE);
            sigaddset(&set, SIGXFSZ);
        }
        pthread_sigmask(SIG_BLOCK, &set, &before_);
    }
    const sigset_t &before() const noexcept { return before_; }
    ~RunSignals() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    RunSignals(const RunSignals &) = delete;
    RunSignals &operator=(const RunSignals &) = delete;

  private:
    sigset_t before_{};
};

// The processes of a run, in one group led by the first: the group's
// deadline, the terminal while the group has it, its stops and the
// reaping. A run has one process, a pipeline one per stage.
// How a job is stopped, at its deadline or when asked: signal first, then
// SIGKILL grace_ms later.
struct StopRule {
    int timeout_ms; // <= 0: no deadline
    int signal;     // 0: SIGTERM
    int grace_ms;   // <= 0: 1000
};

class Job {
  public:
    // The deadline counts from began (us, monotonic): the start of the
    // call that started the job.
    // own_session: each process leads a session of its own, where no
    // terminal is theirs: the job never takes one, nor looks for its stops.
    Job(size_t capacity, const StopRule &rule, int64_t began, const Site &site,
        bool own_session = false) noexcept;
    ~Job();
    Job(const Job &) = delete;
    Job &operator=(const Job &) = delete;

    // The terminal whose foreground the group becomes, or -1: decided
    // before the first process starts, which takes it itself. One job of
    // the process at a time has it; the others run without it, and one
    // that stops for it gets it once the caller has it back.
    int terminal() const noexcept
    {
        return owner_ || lender_ > 0 ? terminal_.fd() : -1;
    }
    bool at_terminal() const noexcept { return at_terminal_; }
    // A held job: started in the thread of the job that has the
    // foreground, it runs beside that job, not nested in it, and borrows
    // nothing. Before the first process starts.
    void hold() noexcept { lender_ = 0; }
    pid_t group() const noexcept { return group_; }
    // A contained job: its signals go to every process in cgroup, its
    // SIGKILL kills cgroup whole.
    void contain(qo_run_cgroup::Group *cgroup) noexcept { cgroup_ = cgroup; }
    size_t size() const noexcept { return count_; }
    pid_t pid(size_t i) const noexcept { return i < count_ ? members_[i].pid : -1; }
    // sig to every member and what it started, as at the deadline; 0, or
    // the errno (ESRCH once every member has ended).
    int signal(int sig) noexcept;
    void add(pid_t pid) noexcept;
    // Before the first add(): nothing but the reaping waits for the exits
    // (a run with no deadline, away from a terminal, that nobody else can
    // stop): no pidfd is opened, nor the exits looked for meanwhile.
    void leave_exits() noexcept { exits_watched_ = at_terminal_; }
    // A job whose next process could not be started: the ones started
    // are killed (reap() still waits for them). A first process that took
    // the terminal and failed to start left it to a group that is gone.
    void abandon() noexcept;
    // The ms until the job needs looking at again, or -1; signals the group
    // as the deadline calls for.
    int wait_ms() noexcept;
    // A deadline or a stop's grace is running: wait_ms() acts on it.
    bool timing() const noexcept { return timeout_ms_ > 0 || stopped_; }
    void watch(pollfd *fds, nfds_t &n) const noexcept;
    bool holds_pidfd(int fd) const noexcept
    {
        for (size_t i = 0; i < count_; ++i)
            if (members_[i].pidfd == fd)
                return true;
        return false;
    }
    // Takes note of the exits and stops that fds (as poll left them) or
    // the passing of time tell of.
    void check(const pollfd *fds, nfds_t n) noexcept;
    bool exited() const noexcept;
    // Stops the job now, as its deadline would; nothing when every member
    // has ended already.
    void stop() noexcept;
    bool timed_out() const noexcept { return stage_ != Stage::running && !stopped_; }
    bool stopped() const noexcept { return stopped_; }
    bool killed() const noexcept { return stage_ == Stage::killed; }
    // Each member's wait status, or -1 with error; and what each used
    // (zeros for one not reaped), when usage is not NULL.
    void reap(int *statuses, int &error, qo_run_usage *usage = nullptr) noexcept;
    // Once reaped: the pidfds go, and out of any epoll set with them.
    void close_pidfds() noexcept
    {
        for (size_t i = 0; i < count_; ++i)
            close_fd(members_[i].pidfd);
    }

  private:
    enum class Stage { running, terminated, killed };
    struct Member {
        pid_t pid;
        int pidfd;
        bool exited;   // seen, not yet reaped: the group id stays the job's
        uint16_t slot; // in the table of running processes, + 1
    };

    void watch_exits() noexcept;
    void look_for_stop(const Member &m) noexcept;
    void stopped_by(int signal) noexcept;
    void give_terminal(pid_t group) noexcept;
    bool take_terminal() noexcept;
    void hand_back() noexcept;
    void hand_on() noexcept;
    void adopt_terminal() noexcept;
    void signal_all(int signal) noexcept;
    static bool signal_member(const Member &m, int signal) noexcept;
    int enforce_deadline() noexcept;

    Member *members_;
    size_t count_ = 0;
    qo_run_cgroup::Group *cgroup_ = nullptr;
    pid_t group_ = 0;
    uint16_t group_slot_ = 0; // in the table of running groups, + 1
    int timeout_ms_, stop_signal_;
    int64_t grace_us_;
    // In us, monotonic: counted in whole ms, it could come up to 1 ms early.
    int64_t deadline_ = 0;
    Stage stage_ = Stage::running;
    bool stopped_ = false; // by stop(), not by the deadline
    bool exits_watched_ = true;
    qo_run_tty::Terminal terminal_;
    bool at_terminal_;
    bool owner_;                  // of the foreground (qo_run_tty::claim)
    pid_t lender_;                // the job around this one lends it the foreground
    bool holds_terminal_ = false; // the group is the foreground
    bool waiting_ = false;        // stopped for the terminal, to take it
    // The caller's, saved as the job takes the terminal; the job's, as it
    // stops and hands it back.
    termios callers_modes_{}, own_modes_{};
    bool own_modes_saved_ = false;
};

// Held by a thread from just before a process of a run starts until the
// job holds it, or the start failed: qo_exit() from another thread waits
// for it, so that a process started as the program ends is ended too.
class Starting {
  public:
    Starting() noexcept;
    ~Starting();
    // qo_exit() has begun: nothing is to start.
    bool refused() const noexcept { return refused_; }
    Starting(const Starting &) = delete;
    Starting &operator=(const Starting &) = delete;

  private:
    int slot_ = -1; // in the table of starts, or counted apart
    bool refused_;
};

// SIGKILL to every command still running, in its job's group or in one it
// leads (a session of its own), so that an ending process leaves none
// behind. Async-signal-safe.
void end_running() noexcept;

} // namespace qo_run_job
