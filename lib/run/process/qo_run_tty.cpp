// The caller's controlling terminal for the jobs of its runs. A caller in
// the foreground of its terminal hands it to the job whatever its stdin is
// (prog <list runs ssh, which prompts on /dev/tty); one job at a time, so
// that none hands it back while another still uses it.
#include "run/process/qo_run_tty_internal.h"
#include "base/qo_pid_word_internal.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace qo_run_tty {

namespace {

// The controlling terminal: tcgetpgrp() answers for no other.
int controlling(int fd) noexcept
{
    return tcgetpgrp(fd) >= 0 ? fd : -1;
}

// The job holding the foreground, with the process that started it: a
// forked child inherits the word, and its parent's job is not its own.
// The group is 0 while the job's first process is being started.
std::atomic<uint64_t> holder{0};
// The thread that claimed it, as a word of qo_pid_word.
std::atomic<uint64_t> claimant{0};

// The session last found without a controlling terminal. Only a session's
// leader can give it one: a process that does not lead its own keeps that
// answer until it is in another session, and asks with getsid(), a tenth
// of the cost of the open that fails. A leader, which gains a terminal by
// opening one, asks /dev/tty every time.
std::atomic<pid_t> session_without{0};

bool known_without_terminal(pid_t session) noexcept
{
    return session > 0 && session != static_cast<pid_t>(qo_pid_word::self()) &&
           session == session_without.load(std::memory_order_relaxed);
}

uint64_t this_thread() noexcept
{
    return qo_pid_word::make(static_cast<uint32_t>(syscall(SYS_gettid)));
}

uint64_t held_by(pid_t group) noexcept
{
    return qo_pid_word::make(group);
}

bool ours(uint64_t word) noexcept
{
    return word != 0 && qo_pid_word::ours(word);
}

} // namespace

// /dev/tty answers in one call whether the process has a controlling
// terminal at all, which most callers of a run have not: asked first, it
// spares them a look at each of 0-2. A process that has one, but may not
// open /dev/tty, finds it on 0-2 still.
Terminal::Terminal() noexcept
{
    const pid_t session = getsid(0);
    if (known_without_terminal(session))
        return;
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0 && (errno == ENXIO || errno == ENODEV)) {
        session_without.store(session, std::memory_order_relaxed);
        return;
    }
    fd_ = tty; // it opens for the controlling terminal only
    opened_ = fd_ >= 0;
    for (int stdio = STDIN_FILENO; fd_ < 0 && stdio <= STDERR_FILENO; ++stdio)
        fd_ = controlling(stdio);
}

Terminal::~Terminal()
{
    if (opened_)
        close(fd_);
}

pid_t Terminal::foreground() const noexcept
{
    return tcgetpgrp(fd_);
}

void Terminal::give(pid_t group) const noexcept
{
    tcsetpgrp(fd_, group);
}

void Terminal::get_modes(termios &modes) const noexcept
{
    tcgetattr(fd_, &modes);
}

void Terminal::set_modes(const termios &modes) const noexcept
{
    tcsetattr(fd_, TCSANOW, &modes);
}

bool claim() noexcept
{
    uint64_t seen = holder.load();
    if (ours(seen) || !holder.compare_exchange_strong(seen, held_by(0)))
        return false;
    claimant.store(this_thread());
    return true;
}

void claimed_for(pid_t group) noexcept
{
    holder.store(held_by(group));
}

void release() noexcept
{
    claimant.store(0);
    holder.store(0);
}

void hand_to(pid_t group) noexcept
{
    claimant.store(0);
    holder.store(held_by(group));
}

void adopt() noexcept
{
    claimant.store(this_thread());
}

pid_t holding_group() noexcept
{
    const uint64_t word = holder.load();
    return ours(word) ? static_cast<pid_t>(word & UINT32_MAX) : 0;
}

bool claimed_here() noexcept
{
    return claimant.load() == this_thread();
}

// A job whose first process is being started may have the foreground
// already: the process has it all the same.
bool process_in_foreground(const Terminal &t) noexcept
{
    const pid_t foreground = t.foreground();
    if (foreground < 0)
        return false;
    const uint64_t word = holder.load();
    const auto group = static_cast<pid_t>(word & UINT32_MAX);
    return foreground == getpgrp() ||
           (ours(word) && (group == 0 || group == foreground));
}

} // namespace qo_run_tty
