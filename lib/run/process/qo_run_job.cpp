// The job of a run: one process group, so that a deadline, Ctrl-C and
// Ctrl-Z reach everything the command started, which takes the terminal
// over while it runs when the caller had it.
#include "run/process/qo_run_job_internal.h"
#include "base/qo_pid_word_internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <type_traits>
#include <unistd.h>

namespace qo_run_job {

namespace {

constexpr int kill_grace_ms = 1000;
// Without a pidfd (kernels before 5.3) the exit is looked for this often.
constexpr int exit_check_ms = 10;
// A pidfd tells of an exit, not of a stop: at a terminal, where Ctrl-Z
// stops the job, the job is looked at this often.
constexpr int stop_check_ms = 100;

// ---- Jobs still running, for qo_exit() and the relay --------------------

// Fixed tables, so that a signal handler can read them: runs beyond this
// many at once are not ended by qo_exit(). Each entry holds a group (or a
// process) and the process that started it: a forked child inherits the
// tables, and its parent's commands are not its to end.
constexpr size_t tracked_groups = 64;
struct Group {
    std::atomic<uint64_t> word; // the group, and apart_bit for a new session
    std::atomic<bool> relayed;  // what was typed at it was passed on
};
Group running_groups[tracked_groups];
// A job in a session of its own: what is typed at the terminal is not for
// it. Beyond any process id.
constexpr uint32_t apart_bit = uint32_t{1} << 31;
// Every process of those jobs: one that leads a group or session of its
// own (QO_RUN_NEW_SESSION, setsid) is found through it.
constexpr size_t tracked_members = 256;
std::atomic<uint64_t> running_members[tracked_members];

// qo_exit() is ending the jobs, as a word of qo_pid_word: a process started
// as it looks at the tables is ended by the thread that started it.
std::atomic<uint64_t> ending{0};

// Takes slot for word if it is free. Read first: a locked exchange on
// every slot of a table costs microseconds.
template <typename Word> bool take_free(std::atomic<Word> &slot, Word word) noexcept
{
    Word free_slot = 0;
    return slot.load(std::memory_order_relaxed) == 0 &&
           slot.compare_exchange_strong(free_slot, word);
}

// Threads starting a process, by pthread_self() (which asks the kernel
// nothing): qo_exit() waits for the others' starts, never for its own (a
// handler that ends the process from within a start). Starts beyond the
// table are counted apart, and waited for by every thread. A start is
// looked for at most start_wait_ms.
constexpr size_t tracked_starts = 16;
std::atomic<uintptr_t> starting_threads[tracked_starts];
std::atomic<int> more_starting{0};
constexpr int start_wait_ms = 1000;

// pthread_t is a number in glibc, a pointer in musl.
template <typename Thread> uintptr_t as_word(Thread thread) noexcept
{
    if constexpr (std::is_pointer_v<Thread>)
        return reinterpret_cast<uintptr_t>(thread);
    else
        return static_cast<uintptr_t>(thread);
}

uintptr_t this_thread() noexcept
{
    return as_word(pthread_self());
}

// A forked child has only the thread that forked: its parent's other
// threads are not starting anything in it.
void forget_starts() noexcept
{
    for (auto &slot : starting_threads)
        slot.store(0);
    more_starting.store(0);
}

// From the start, not from a first job: qo_exit() during the process's
// first start must end what it started.
[[gnu::constructor]] void end_running_at_exit() noexcept
{
    qo_err::at_exit(qo_err::ExitStage::before_message, end_running);
    qo_err::at_fork(nullptr, nullptr, forget_starts);
}

bool others_starting(uintptr_t self) noexcept
{
    return more_starting.load() > 0 ||
           std::ranges::any_of(starting_threads, [self](const auto &slot) {
               const uintptr_t thread = slot.load();
               return thread && thread != self;
           });
}

// Until every start of another thread has reached the tables, or ended
// what it started itself on seeing the end begun.
void wait_for_starts() noexcept
{
    const timespec tick{0, 100000};
    const uintptr_t self = this_thread();
    for (int i = 0; i < start_wait_ms * 10 && others_starting(self); ++i)
        nanosleep(&tick, nullptr);
}

pid_t group_in(uint64_t word) noexcept
{
    return static_cast<pid_t>(qo_pid_word::id(word) & ~apart_bit);
}

// One of this process's jobs, not inherited from the one that forked it.
bool ours(uint64_t word) noexcept
{
    return word && qo_pid_word::ours(word);
}

uint64_t group_word(pid_t group, bool apart) noexcept
{
    return qo_pid_word::make(uint32_t(group) | (apart ? apart_bit : 0));
}

// The slot's index + 1, kept by the job so that it finds its entry again
// without a look through the table; 0 when the table was full.
uint16_t track(pid_t group, bool apart) noexcept
{
    const uint64_t word = group_word(group, apart);
    for (size_t i = 0; i < tracked_groups; ++i)
        if (take_free(running_groups[i].word, word))
            return static_cast<uint16_t>(i + 1);
    return 0;
}

// The flag is reset before the slot is free, for its next job. A forked
// child's copy of a job names its parent's entry, which stays.
void untrack(uint16_t &slot, pid_t group, bool apart) noexcept
{
    if (slot == 0)
        return;
    Group &entry = running_groups[slot - 1];
    uint64_t held = group_word(group, apart);
    if (entry.word.load(std::memory_order_relaxed) == held) {
        entry.relayed.store(false);
        entry.word.compare_exchange_strong(held, 0);
    }
    slot = 0;
}

// With what it started in a group or session of its own.
void end_member(pid_t member) noexcept
{
    if (getpgid(member) == member)
        kill(-member, SIGKILL);
    kill(member, SIGKILL);
}

uint16_t track_member(pid_t pid) noexcept
{
    const uint64_t word = qo_pid_word::make(pid);
    for (size_t i = 0; i < tracked_members; ++i)
        if (take_free(running_members[i], word))
            return static_cast<uint16_t>(i + 1);
    return 0;
}

void untrack_member(uint16_t &slot, pid_t pid) noexcept
{
    if (slot == 0)
        return;
    uint64_t held = qo_pid_word::make(pid);
    running_members[slot - 1].compare_exchange_strong(held, 0);
    slot = 0;
}

// ---- Signals and the terminal ------------------------------------------

bool is_job_stop(int signal) noexcept
{
    return signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU;
}

// Without a wait: the process stays a zombie, its group id stays taken,
// until it is reaped. killed_by receives the signal that ended it, or 0.
bool has_exited(pid_t pid, int &killed_by) noexcept
{
    siginfo_t info{};
    killed_by = 0;
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0)
        return errno != EINTR; // ECHILD: reaped by the kernel (SIGCHLD ignored)
    if (info.si_pid == pid &&
        (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED))
        killed_by = info.si_status;
    return info.si_pid == pid;
}

// What a person types at the terminal reaches its foreground only: the job
// that holds it passes Ctrl-C (and Ctrl-\, and Ctrl-Z as a stop) on to the
// other jobs of the process, which run beside it without the terminal, so
// that one keystroke ends or stops them all, as it would a shell's
// foreground job. A job in a session of its own is not the terminal's.
void pass_on(int signal, pid_t own) noexcept
{
    for (const Group &slot : running_groups) {
        const uint64_t entry = slot.word.load();
        if (ours(entry) && !(qo_pid_word::id(entry) & apart_bit) &&
            group_in(entry) != own)
            kill(-group_in(entry), signal);
    }
}

bool typed(int signal) noexcept
{
    return signal == SIGINT || signal == SIGQUIT;
}

// A Ctrl-C or Ctrl-\ that ended a process of the job holding the
// foreground, passed on once, whoever sees it first: the thread serving
// the job, or the relay. The jobs it is passed on to pass it on no more,
// should one of them hold the foreground next: a job started since would
// get it. (A job that caught it, went on, then got a Ctrl-C of its own
// there ends alone.)
void relay(int signal, pid_t own) noexcept
{
    Group *from = nullptr;
    for (Group &slot : running_groups)
        if (const uint64_t entry = slot.word.load();
            ours(entry) && group_in(entry) == own)
            from = &slot;
    if (!from || from->relayed.exchange(true))
        return;
    for (Group &slot : running_groups)
        slot.relayed.store(true);
    pass_on(signal, own);
}

// Another job of the process still running at the terminal, to hand the
// foreground to; 0 when there is none.
pid_t another_running(pid_t own) noexcept
{
    for (const Group &slot : running_groups) {
        const uint64_t entry = slot.word.load();
        if (ours(entry) && !(qo_pid_word::id(entry) & apart_bit) &&
            group_in(entry) != own)
            return group_in(entry);
    }
    return 0;
}

bool still_running(pid_t group) noexcept
{
    return std::any_of(std::begin(running_groups), std::end(running_groups),
                       [group](const Group &slot) {
                           const uint64_t entry = slot.word.load();
                           return ours(entry) && group_in(entry) == group;
                       });
}

// ---- Ctrl-C whatever the caller waits on --------------------------------

// The job that holds the foreground gets what is typed, whichever job the
// caller serves, or none: while others run beside it, a thread of the
// library's looks at its processes this often, and passes on a Ctrl-C or
// Ctrl-\ that ended one of them.
constexpr int relay_check_ms = 50;
// This process's relay thread runs, as a word of qo_pid_word (a forked
// child starts its own).
std::atomic<uint64_t> relay_runs{0};

bool relay_needed() noexcept
{
    const pid_t holder = qo_run_tty::holding_group();
    return holder > 0 && another_running(holder) > 0;
}

void look_at_holder() noexcept
{
    const pid_t holder = qo_run_tty::holding_group();
    for (const auto &slot : running_members) {
        const uint64_t entry = slot.load();
        const pid_t pid = qo_pid_word::id(entry);
        int killed_by = 0;
        if (ours(entry) && getpgid(pid) == holder && has_exited(pid, killed_by) &&
            typed(killed_by))
            relay(killed_by, holder);
    }
}

// Ends once no job holds the foreground beside another; one that starts
// meanwhile finds it still running, or starts another.
void *relay_thread(void * /*unused*/) noexcept
{
    const uint64_t self = qo_pid_word::make(1);
    const timespec pause{0, relay_check_ms * 1000000L};
    for (;;) {
        for (; relay_needed(); nanosleep(&pause, nullptr))
            look_at_holder();
        relay_runs.store(0);
        uint64_t idle = 0;
        if (!relay_needed() || !relay_runs.compare_exchange_strong(idle, self))
            return nullptr;
    }
}

// Every signal blocked: none of the program's lands in the relay.
void start_relay() noexcept
{
    if (!relay_needed())
        return;
    const uint64_t self = qo_pid_word::make(1);
    uint64_t seen = relay_runs.load();
    if (seen == self || !relay_runs.compare_exchange_strong(seen, self))
        return;
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_attr_t detached;
    pthread_attr_init(&detached);
    pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
    pthread_t thread{};
    if (pthread_create(&thread, &detached, relay_thread, nullptr) != 0)
        relay_runs.store(0); // the serving thread still passes it on
    pthread_attr_destroy(&detached);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// As a shell sees it: a job killed by a signal (the deadline, Ctrl-C) left
// the terminal as it was then; one that exited (or lost its reader) had
// the chance to tidy up, and the modes it set are meant to stay (stty).
bool ended_by_signal(const int *statuses, size_t n) noexcept
{
    for (size_t i = 0; i < n; ++i)
        if (statuses[i] != -1 && WIFSIGNALED(statuses[i]) &&
            WTERMSIG(statuses[i]) != SIGPIPE)
            return true;
    return false;
}

} // namespace

Job::Job(size_t capacity, const StopRule &rule, int64_t began, const Site &site,
         bool own_session) noexcept
    : members_(static_cast<Member *>(allocate(capacity * sizeof(Member), site))),
      timeout_ms_(rule.timeout_ms),
      stop_signal_(rule.signal > 0 ? rule.signal : SIGTERM),
      grace_us_(int64_t{rule.grace_ms > 0 ? rule.grace_ms : kill_grace_ms} * 1000),
      deadline_(began + int64_t{rule.timeout_ms} * 1000),
      at_terminal_(!own_session && terminal_.found()),
      owner_(at_terminal_ && terminal_.foreground() == getpgrp() &&
             qo_run_tty::claim()),
      lender_(!owner_ && at_terminal_ && qo_run_tty::claimed_here()
                  ? qo_run_tty::holding_group()
                  : 0)
{
    // A run nested in a callback of the job that has the foreground borrows
    // it: the job around it waits for it meanwhile.
    if (lender_ > 0 && terminal_.foreground() != lender_)
        lender_ = 0;
    if (owner_ || lender_ > 0)
        terminal_.get_modes(callers_modes_);
}

Job::~Job()
{
    for (size_t i = 0; i < count_; ++i)
        close_fd(members_[i].pidfd);
    free(members_);
}

void Job::give_terminal(pid_t group) noexcept
{
    terminal_.give(group);
    holds_terminal_ = group == group_;
}

// When the caller has the terminal to itself and no other job of the
// process holds it, or the job lends it from the one around it; with the
// modes the job had when it stopped.
bool Job::take_terminal() noexcept
{
    // Handed on to it by the job that had it, while it was stopped for
    // want of it: it has it already.
    if (holds_terminal_ && terminal_.foreground() == group_)
        return true;
    const bool lent = lender_ > 0 && terminal_.foreground() == lender_;
    if (!lent && (terminal_.foreground() != getpgrp() ||
                  !(owner_ || (owner_ = qo_run_tty::claim()))))
        return false;
    if (!lent)
        qo_run_tty::claimed_for(group_);
    terminal_.get_modes(callers_modes_);
    if (own_modes_saved_)
        terminal_.set_modes(own_modes_);
    give_terminal(group_);
    start_relay();
    return true;
}

// With the caller's modes, as a shell takes its terminal back from a job
// that stopped.
void Job::hand_back() noexcept
{
    terminal_.get_modes(own_modes_);
    own_modes_saved_ = true;
    terminal_.set_modes(callers_modes_);
    give_terminal(lender_ > 0 ? lender_ : getpgrp());
}

void Job::add(pid_t pid) noexcept
{
    const int pidfd =
        exits_watched_ ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
    members_[count_++] = {pid, pidfd, false, track_member(pid)};
    if (count_ == 1) {
        group_ = pid;
        group_slot_ = track(group_, !at_terminal_);
    }
    // Tracked before looking: qo_exit() sees the process, or this sees it.
    if (ours(ending.load())) {
        kill(-group_, SIGKILL);
        end_member(pid);
    }
    if (count_ > 1)
        return;
    // The child took the terminal before its exec; this closes the window
    // where the C library could not do that.
    if (owner_)
        qo_run_tty::claimed_for(group_);
    if (owner_ || lender_ > 0)
        give_terminal(group_);
    start_relay();
}

void Job::abandon() noexcept
{
    if (count_ > 0)
        signal_all(SIGKILL);
    else if (owner_)
        give_terminal(getpgrp());
}

// A job left to the reaping that is stopped after all needs its exits
// watched from now on: its members, not reaped yet, keep their pids.
void Job::watch_exits() noexcept
{
    if (exits_watched_)
        return;
    exits_watched_ = true;
    for (size_t i = 0; i < count_; ++i)
        members_[i].pidfd =
            static_cast<int>(syscall(SYS_pidfd_open, members_[i].pid, 0));
}

void Job::stop() noexcept
{
    if (stage_ != Stage::running || count_ == 0)
        return;
    watch_exits();
    check(nullptr, 0);
    if (exited())
        return; // what ended on its own was not stopped
    stopped_ = true;
    deadline_ = now_us();
}

int Job::signal(int sig) noexcept
{
    if (sig < 0 || sig >= NSIG)
        return EINVAL;
    check(nullptr, 0);
    if (count_ == 0 || exited())
        return ESRCH;
    signal_all(sig);
    return 0;
}

// Contained, to every process in the control group. Else through the
// job's group, and a member that moved to a group of its own
// (timeout, setsid) by its pid as well, with what it started in that group,
// even once it has ended itself. A member still in the job's group gets it
// once: a script that traps the signal runs its trap once.
void Job::signal_all(int signal) noexcept
{
    if (cgroup_) {
        cgroup_->signal(signal);
        return;
    }
    kill(-group_, signal);
    for (size_t i = 0; i < count_; ++i) {
        const pid_t member = members_[i].pid;
        const pid_t own = signal_member(members_[i], 0) ? getpgid(member) : -1;
        if (own < 0 || own == group_)
            continue;
        signal_member(members_[i], signal);
        if (own == member)
            kill(-own, signal);
    }
}

// False when the member's pid may no longer be its own: a kernel that
// reaps on its own (SIGCHLD ignored) may give it away once it has ended.
// Through a pidfd, the signal reaches it, ended or not, while it holds it.
bool Job::signal_member(const Member &m, int signal) noexcept
{
    if (m.pidfd >= 0)
        return syscall(SYS_pidfd_send_signal, m.pidfd, signal, nullptr, 0) == 0;
    if (m.exited)
        return false;
    kill(m.pid, signal);
    return true;
}

// A stopped group also gets SIGCONT, or SIGTERM would wait for it.
int Job::enforce_deadline() noexcept
{
    if (timeout_ms_ <= 0 && !stopped_)
        return -1;
    const int64_t grace = grace_us_;
    const int64_t now = now_us();
    if (stage_ == Stage::running && now >= deadline_) {
        signal_all(stop_signal_);
        signal_all(SIGCONT);
        stage_ = Stage::terminated;
    }
    if (stage_ == Stage::terminated && now >= deadline_ + grace) {
        signal_all(SIGKILL);
        stage_ = Stage::killed;
    }
    if (stage_ == Stage::killed)
        return -1;
    const int64_t next = stage_ == Stage::running ? deadline_ : deadline_ + grace;
    return static_cast<int>(std::min<int64_t>((next - now + 999) / 1000, INT_MAX));
}

int Job::wait_ms() noexcept
{
    int ms = enforce_deadline();
    bool pidfds = true;
    for (size_t i = 0; i < count_; ++i)
        pidfds =
            pidfds && (members_[i].exited || members_[i].pidfd >= 0 || !exits_watched_);
    const int every = !pidfds ? exit_check_ms : at_terminal_ ? stop_check_ms : -1;
    if (!exited() && every >= 0 && (ms < 0 || ms > every))
        ms = every;
    return ms;
}

void Job::watch(pollfd *fds, nfds_t &n) const noexcept
{
    for (size_t i = 0; i < count_; ++i)
        if (!members_[i].exited && members_[i].pidfd >= 0)
            fds[n++] = {members_[i].pidfd, POLLIN, 0};
}

void Job::look_for_stop(const Member &m) noexcept
{
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(m.pid), &info, WSTOPPED | WNOHANG) == 0 &&
        info.si_pid == m.pid && info.si_code == CLD_STOPPED)
        stopped_by(info.si_status);
}

void Job::check(const pollfd *fds, nfds_t n) noexcept
{
    for (size_t i = 0; i < count_; ++i) {
        Member &m = members_[i];
        if (m.exited)
            continue;
        bool polled = false, ready = false;
        for (nfds_t j = 0; j < n; ++j)
            if (fds[j].fd == m.pidfd && m.pidfd >= 0) {
                polled = true;
                ready = fds[j].revents != 0;
            }
        int killed_by = 0;
        // A pidfd that is ready tells of the exit itself; how it ended
        // matters only to a job that has the terminal.
        if (ready && !holds_terminal_)
            m.exited = true;
        else if (ready || (!polled && (exits_watched_ || !fds)))
            m.exited = has_exited(m.pid, killed_by);
        if (m.exited && holds_terminal_ && stage_ == Stage::running && typed(killed_by))
            relay(killed_by, group_);
        if (!m.exited && at_terminal_)
            look_for_stop(m);
    }
    adopt_terminal();
    if (waiting_ && !exited() && take_terminal()) {
        waiting_ = false;
        kill(-group_, SIGCONT);
    }
}

// The job stopped for the terminal (Ctrl-Z, or a read or write it may not
// do from the background): the caller's group stops as well, so that the
// shell sees a stopped job; when it is continued in the foreground (fg),
// the job gets the terminal back and goes on. A stop by SIGSTOP is someone
// else's to undo. Where the process has the terminal, lent to another of
// its jobs or not, the caller goes on and the job gets it in its turn.
void Job::stopped_by(int signal) noexcept
{
    if (!is_job_stop(signal))
        return;
    if (!holds_terminal_ && qo_run_tty::process_in_foreground(terminal_)) {
        waiting_ = signal != SIGTSTP && !take_terminal();
        if (!waiting_)
            kill(-group_, SIGCONT);
        return;
    }
    if (holds_terminal_) {
        hand_back();
        pass_on(SIGSTOP, group_); // not SIGTSTP: their jobs would take it up
    }
    kill(-getpgrp(), SIGTSTP);
    pass_on(SIGCONT, group_);
    // Continued in the background (bg), the job goes on there; one that
    // wants the terminal waits until the caller has it again.
    const bool has_terminal = take_terminal();
    waiting_ = !has_terminal && signal != SIGTSTP;
    if (has_terminal || signal == SIGTSTP)
        kill(-group_, SIGCONT);
}

bool Job::exited() const noexcept
{
    for (size_t i = 0; i < count_; ++i)
        if (!members_[i].exited)
            return false;
    return true;
}

// The group and its members leave the tables before they are reaped, and
// their ids with them; a job left to the reaping stays in them while it
// waits, which qo_exit() from another thread must still end: each member
// leaves as it is reaped.
void Job::reap(int *statuses, int &error, qo_run_usage *usage) noexcept
{
    for (size_t i = 0; exits_watched_ && i < count_; ++i)
        untrack_member(members_[i].slot, members_[i].pid);
    if (exits_watched_)
        untrack(group_slot_, group_, !at_terminal_);
    for (size_t i = 0; i < count_; ++i) {
        rusage used{};
        while (wait4(members_[i].pid, &statuses[i], 0, &used) < 0) {
            if (errno != EINTR) {
                error = errno;
                statuses[i] = -1;
                break;
            }
        }
        untrack_member(members_[i].slot, members_[i].pid);
        if (usage && statuses[i] != -1) {
            usage[i].user_us =
                int64_t{used.ru_utime.tv_sec} * 1000000 + used.ru_utime.tv_usec;
            usage[i].system_us =
                int64_t{used.ru_stime.tv_sec} * 1000000 + used.ru_stime.tv_usec;
            usage[i].peak_kib = used.ru_maxrss;
        }
    }
    untrack(group_slot_, group_, !at_terminal_);
    adopt_terminal();
    if (holds_terminal_) {
        if (ended_by_signal(statuses, count_))
            terminal_.set_modes(callers_modes_);
        hand_on();
    }
    if (owner_)
        qo_run_tty::release();
    owner_ = false;
}

// The foreground goes to another job of the process that still runs, so
// that what is typed reaches a command, not the caller, as long as one
// runs: then to the caller, or back to the job this one borrowed it from.
void Job::hand_on() noexcept
{
    const pid_t next = lender_ > 0 ? 0 : another_running(group_);
    if (next > 0) {
        qo_run_tty::hand_to(next);
        terminal_.give(next); // refused for a job in a session of its own
        if (terminal_.foreground() == next && still_running(next)) {
            owner_ = false; // the claim is the next job's now
            holds_terminal_ = false;
            start_relay();
            return;
        }
        qo_run_tty::claimed_for(group_);
    }
    give_terminal(lender_ > 0 ? lender_ : getpgrp());
}

// A job that another one handed the foreground to takes the claim over:
// it hands the foreground on when it ends.
void Job::adopt_terminal() noexcept
{
    if (owner_ || lender_ > 0 || !at_terminal_ || count_ == 0 ||
        qo_run_tty::holding_group() != group_)
        return;
    owner_ = holds_terminal_ = true;
    qo_run_tty::adopt();
    terminal_.get_modes(callers_modes_);
}

Starting::Starting() noexcept
{
    const uintptr_t self = this_thread();
    for (size_t i = 0; slot_ < 0 && i < tracked_starts; ++i)
        if (take_free(starting_threads[i], self))
            slot_ = static_cast<int>(i);
    if (slot_ < 0)
        more_starting.fetch_add(1);
    refused_ = ours(ending.load());
}

Starting::~Starting()
{
    if (slot_ >= 0)
        starting_threads[slot_].store(0);
    else
        more_starting.fetch_sub(1);
}

} // namespace qo_run_job

// Every group, and every process that leads a group of its own (a session
// of its own, setsid) with what it started there. Never a process the
// table no longer holds: reaped, its pid may be another's.
void qo_run_job::end_running() noexcept
{
    using qo_run_job::ours;
    qo_run_job::ending.store(qo_pid_word::make(1));
    for (const auto &slot : qo_run_job::running_groups)
        if (const uint64_t entry = slot.word.load(); ours(entry))
            kill(-qo_run_job::group_in(entry), SIGKILL);
    for (const auto &slot : qo_run_job::running_members)
        if (const uint64_t entry = slot.load(); ours(entry))
            qo_run_job::end_member(qo_pid_word::id(entry));
    qo_run_job::wait_for_starts();
}
