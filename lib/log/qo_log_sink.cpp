// The log's buffered file and the lock that guards it.
//
// Entries are copied into the log's own buffer under the lock; the buffer
// goes to the file with write(2) when full, at close, before a fork, at
// exit and before a command runs. Owning the buffer rather than leaving it
// to stdio is what lets the log retry interrupted writes, survive a reader
// that has gone or a file size limit, hand a child an empty buffer and
// flush at exit under its own lock.
//
// The journal takes each entry as a datagram of its own, sent at once
// under the lock: nothing is buffered for it, and a flush finds nothing to
// write.
#include "base/qo_fd_internal.h"
#include "log/qo_log_journal_internal.h"
#include "log/qo_log_stamp_internal.h"
#include "log/qo_log_sink_internal.h"
#include "base/qo_sigpipe_internal.h"
#include "exit/qo_tell_internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <csignal>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" {
int qo_log_level = 0;
}

namespace {

using qo_tell::tell;

constexpr size_t buffer_size = 8192;

// Guarded by the lock. Nothing done under the lock allocates or frees, so
// a signal handler that interrupted the holder may still flush.
struct LogFile {
    char *path = nullptr;       // heap copy of the path given to qo_log_open
    char *identifier = nullptr; // the journal's SYSLOG_IDENTIFIER
    int fd = -1;
    bool journal = false;
    bool copied = false;            // a copy of the caller's descriptor: no path
    bool may_raise_sigpipe = false; // a FIFO or a socket
    bool never_blocks = false;      // a regular file
    bool loss_reported = false;     // since the last write that worked
    size_t used = 0;                // bytes of whole entries in the buffer
    size_t sent = 0;                // of which already written
    // When a bounded write first found the file full, until it takes
    // bytes again: 2 s on, bounded writes no longer wait for it.
    int64_t full_since = 0;
    char buffer[buffer_size] = {};
};

LogFile log_file;
std::atomic<bool> journal_attached{false}; // log_file.journal, read without the lock
std::atomic<int> flush_level{INT_MIN};
// Entries that gave up on the log, not yet told of.
std::atomic<unsigned long> dropped{0};
// Set at the very end of exit(): from then on only the thread that is
// ending the process writes. Another thread's write in flight when the
// process ends can be cut short by the kernel at a page boundary, which
// would leave a torn last entry.
bool writers_ended = false;
pthread_t ending_thread{};

// The lock word holds its holder's pthread_self(): the compare-and-swap
// that takes the lock writes it, the store that gives it back clears it.
// No gap is left in which the lock is held and the word says otherwise, or
// the reverse. Waiters sleep on a futex, the count of releases, which is
// also what a wait bounded on the monotonic clock needs.
struct Lock {
    std::atomic<uintptr_t> owner{0};
    std::atomic<uint32_t> waiters{0};
    // When a bounded waiter first found the present holder holding: 2 s
    // on, the holder is stuck (in a write to a reader that stopped
    // reading), and no bounded waiter waits for it until it lets go.
    std::atomic<int64_t> waited_since{0};
    alignas(4) uint32_t releases = 0; // the futex word
};
Lock log_lock;

uintptr_t self() noexcept
{
    const pthread_t me = pthread_self();
    uintptr_t id = 0;
    static_assert(sizeof me == sizeof id);
    memcpy(&id, &me, sizeof id);
    return id;
}

// Sequentially consistent even when it fails: see acquire_slowly().
bool try_lock(uintptr_t me) noexcept
{
    uintptr_t none = 0;
    return log_lock.owner.compare_exchange_strong(none, me);
}

std::atomic_ref<uint32_t> releases() noexcept
{
    return std::atomic_ref<uint32_t>(log_lock.releases);
}

long futex(int operation, uint32_t value, const timespec *timeout) noexcept
{
    return syscall(SYS_futex, &log_lock.releases, operation, value, timeout, nullptr,
                   0);
}

// False once the deadline (in us, monotonic) has passed.
bool time_left(int64_t deadline, timespec &left) noexcept
{
    const int64_t us = deadline - qo_log_sink::now_us();
    if (us <= 0)
        return false;
    left.tv_sec = static_cast<time_t>(us / 1000000);
    left.tv_nsec = static_cast<long>(us % 1000000 * 1000);
    return true;
}

// The earlier of deadline and 2 s after since, the start of a wait for
// the same thing.
int64_t cut_short(int64_t deadline, int64_t since) noexcept
{
    return std::min(deadline, since + qo_log_sink::stuck_after_us);
}

// A waiter counts itself before it tries the lock, and the holder looks at
// the count after it has let go, so either the try succeeds or the release
// that follows it bumps the futex word and wakes someone. FUTEX_WAIT's
// timeout runs on the monotonic clock.
bool acquire_slowly(uintptr_t me, int64_t deadline) noexcept
{
    const bool bounded = deadline != qo_log_sink::forever;
    for (;;) {
        const uint32_t seen = releases().load();
        log_lock.waiters.fetch_add(1);
        const bool got = try_lock(me);
        bool in_time = true;
        timespec left{};
        if (!got) {
            in_time = !bounded || time_left(deadline, left);
            if (in_time)
                futex(FUTEX_WAIT_PRIVATE, seen, bounded ? &left : nullptr);
        }
        log_lock.waiters.fetch_sub(1);
        if (got || !in_time)
            return got;
    }
}

// A write to a regular file never waits long, so signals may wait for it
// and for the count of what went out: a handler that ends the process and
// flushes would otherwise write again what the write it interrupted had
// written. A pipe or a terminal can block for good, and stays open to
// signals.
class SignalsHeld {
  public:
    explicit SignalsHeld(bool needed) noexcept : active_(needed)
    {
        sigset_t all;
        sigfillset(&all);
        if (active_)
            pthread_sigmask(SIG_BLOCK, &all, &thread_mask_);
    }
    ~SignalsHeld()
    {
        if (active_)
            pthread_sigmask(SIG_SETMASK, &thread_mask_, nullptr);
    }
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;

  private:
    bool active_;
    sigset_t thread_mask_{};
};

// What write_out() returns when the file took no more by the deadline.
constexpr int timed_out = -1;

// Whether the file takes bytes by the deadline, or within 2 s of the
// moment it was first found full: no longer waited for then.
bool room_by(int64_t deadline) noexcept
{
    pollfd file{log_file.fd, POLLOUT, 0};
    if (poll(&file, 1, 0) > 0)
        return true;
    if (!log_file.full_since)
        log_file.full_since = qo_log_sink::now_us();
    deadline = cut_short(deadline, log_file.full_since);
    for (timespec left{}; time_left(deadline, left);)
        if (ppoll(&file, 1, &left, nullptr) > 0)
            return true;
    return false;
}

// Retrying interrupted and partial writes, from done up to size; done
// follows what is out. Returns 0, the errno of the write that failed, or
// timed_out. A file that can block is written to only as poll finds room,
// PIPE_BUF bytes at a time, when a deadline is given: such a write does
// not block on a pipe, which is what a log that blocks mostly is.
int write_out(const char *data, size_t size, size_t &done,
              int64_t deadline = qo_log_sink::forever) noexcept
{
    const bool bounded = deadline != qo_log_sink::forever && !log_file.never_blocks;
    SignalsHeld held(log_file.never_blocks);
    // The SIGXFSZ of a write past the file size limit is taken back: the
    // write fails with EFBIG instead, reported like a full disk.
    qo_sigpipe::Blocked guard(log_file.may_raise_sigpipe, log_file.never_blocks);
    while (done < size) {
        if (bounded && !room_by(deadline))
            return timed_out;
        const size_t most =
            bounded ? std::min(size - done, size_t{PIPE_BUF}) : size - done;
        const ssize_t n = write(log_file.fd, data + done, most);
        if (n > 0) {
            done += static_cast<size_t>(n);
            log_file.full_since = 0;
        } else if (n < 0 && errno == EINTR)
            continue;
        else {
            const int error = n < 0 ? errno : EIO;
            guard.failed_with(error);
            return error;
        }
    }
    return 0;
}

// The buffer is empty afterwards: written, or lost with the error returned.
// Past the deadline, what is left of it is kept for a later flush.
int flush_locked(int64_t deadline = qo_log_sink::forever) noexcept
{
    const int error =
        write_out(log_file.buffer, log_file.used, log_file.sent, deadline);
    if (error == timed_out)
        return error;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    log_file.used = log_file.sent = 0;
    return error;
}

// Losses are told once until a write works again. A reader that has gone
// does not come back, so that log is turned off; its path is released at
// the next open or close, not here, under the lock.
void report_locked(int error) noexcept
{
    if (error == timed_out)
        return;
    if (!error) {
        log_file.loss_reported = false;
        return;
    }
    if (!log_file.loss_reported)
        tell("Unable to print to ", log_file.path);
    log_file.loss_reported = true;
    if (error == EPIPE) {
        close(log_file.fd);
        log_file.fd = -1;
        qo_log_sink::set_level(0);
    }
}

void close_reporting(int fd, int error, const char *path) noexcept
{
    if (close(fd) != 0 && !error)
        error = errno;
    if (error)
        tell("Unable to close ", path);
}

// What a write to fd may raise instead of failing.
void learn_signals(int fd) noexcept
{
    struct stat about {};
    const bool known = fstat(fd, &about) == 0;
    log_file.may_raise_sigpipe =
        known && (S_ISFIFO(about.st_mode) || S_ISSOCK(about.st_mode));
    log_file.never_blocks = known && S_ISREG(about.st_mode);
}

// An entry longer than the buffer, written straight through, whose write
// ran out of time part way: the next entry starts on a line of its own.
void end_torn_entry() noexcept
{
    log_file.buffer[0] = '\n';
    std::atomic_signal_fence(std::memory_order_seq_cst);
    log_file.used = 1;
}

// One entry into the buffer, or straight to the file when longer than the
// buffer. False when it ran out of time: nothing of it is then in the
// buffer, and the file has none of it, or a part followed by a line feed.
bool put_text_locked(const char *entry, size_t size, int64_t deadline) noexcept
{
    if (size > buffer_size - log_file.used &&
        !qo_log_sink::flush_reporting_locked(deadline))
        return false;
    if (log_file.fd < 0) // turned off: lost, and told so
        return true;
    if (size > buffer_size) {
        size_t done = 0;
        const int error = write_out(entry, size, done, deadline);
        if (error == timed_out && done > 0)
            end_torn_entry();
        report_locked(error);
        return error != timed_out;
    }
    memcpy(log_file.buffer + log_file.used, entry, size);
    // A signal handler that flushes sees the entry whole or not at all.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    log_file.used += size;
    return true;
}

// One datagram to the journal, waiting for room in its queue as long as it
// takes, or until the deadline. False when it ran out of time.
bool send_locked(const qo_log_sink::Record &entry, int64_t deadline) noexcept
{
    const bool bounded = deadline != qo_log_sink::forever;
    const qo_log_journal::Fields fields{entry.message, entry.message_size, entry.level,
                                        entry.site, log_file.identifier};
    for (;;) {
        const int error = qo_log_journal::send(log_file.fd, fields, !bounded);
        if (error != EAGAIN || !bounded) {
            if (!error)
                log_file.full_since = 0;
            report_locked(error);
            return true;
        }
        if (!room_by(deadline))
            return false;
    }
}

bool put_locked(const qo_log_sink::Record &entry, int64_t deadline) noexcept
{
    if (log_file.journal)
        return log_file.fd < 0 || send_locked(entry, deadline);
    return put_text_locked(entry.text, entry.size, deadline);
}

// "qo: <count> log entries dropped while the log was blocked" at out, by
// hand: at exit it may be written from a signal handler. Returns its size.
size_t dropped_text(char *out, unsigned long count) noexcept
{
    char digits[24];
    char *first = digits + sizeof digits;
    do {
        *--first = static_cast<char>('0' + count % 10);
        count /= 10;
    } while (count);
    const size_t n = static_cast<size_t>(digits + sizeof digits - first);
    constexpr const char head[] = "qo: ",
                         tail[] = " log entries dropped while the log was blocked";
    memcpy(out, head, sizeof head - 1);
    memcpy(out + sizeof head - 1, first, n);
    memcpy(out + sizeof head - 1 + n, tail, sizeof tail);
    return sizeof head - 1 + n + sizeof tail - 1;
}

// The count of dropped entries, as an entry of its own before the first
// one that gets through.
bool put_dropped_locked(int64_t deadline) noexcept
{
    if (dropped.load(std::memory_order_relaxed) == 0) // the usual case, and cheap
        return true;
    const unsigned long count = dropped.exchange(0);
    if (!count)
        return true;
    char line[qo_log_stamps::when_max + qo_log_stamps::who_max + 96];
    const unsigned stamps = log_file.journal ? 0 : qo_log_stamps::flags();
    size_t size = qo_log_stamps::when_locked(line, stamps);
    size += qo_log_stamps::who(line + size, stamps);
    std::copy_n("INFO: ", 6, line + size);
    char *const message = line + size + 6;
    const size_t message_size = dropped_text(message, count);
    message[message_size] = '\n';
    const qo_log_sink::Record entry{
        line, size + 6 + message_size + 1, message, message_size, 0, nullptr};
    if (put_locked(entry, deadline))
        return true;
    dropped.fetch_add(count);
    return false;
}

} // namespace

int64_t qo_log_sink::now_us() noexcept
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000000 + t.tv_nsec / 1000;
}

void qo_log_sink::lock() noexcept
{
    const uintptr_t me = self();
    if (!try_lock(me))
        acquire_slowly(me, forever);
}

void qo_log_sink::unlock() noexcept
{
    log_lock.owner.store(0);
    if (log_lock.waited_since.load(std::memory_order_relaxed))
        log_lock.waited_since.store(0, std::memory_order_relaxed);
    if (log_lock.waiters.load() == 0)
        return;
    releases().fetch_add(1);
    futex(FUTEX_WAKE_PRIVATE, 1, nullptr);
}

bool qo_log_sink::lock_until(int64_t deadline) noexcept
{
    const uintptr_t me = self();
    if (try_lock(me))
        return true;
    const int64_t now = now_us();
    int64_t since = 0;
    if (log_lock.waited_since.compare_exchange_strong(since, now,
                                                      std::memory_order_relaxed))
        since = now;
    return acquire_slowly(me, cut_short(deadline, since));
}

bool qo_log_sink::held_here() noexcept
{
    return log_lock.owner.load(std::memory_order_relaxed) == self();
}

void qo_log_sink::reset_in_child(bool fork_holds) noexcept
{
    log_lock.waiters.store(0, std::memory_order_relaxed);
    log_lock.waited_since.store(0, std::memory_order_relaxed);
    dropped.store(0, std::memory_order_relaxed);
    if (held_here() && !fork_holds)
        return;
    log_file.used = log_file.sent = 0;
    if (!fork_holds)
        log_lock.owner.store(0);
}

// Appending, as an existing log is history worth keeping. Close-on-exec
// keeps the file out of the commands run through the shell; a standard
// descriptor is never taken, or the fatal message meant for a closed
// standard error, reopened later, would land in the log.
int qo_log_sink::open_file(const char *path) noexcept
{
    int fd = -1;
    do
        fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
    while (fd < 0 && errno == EINTR);
    return qo_fd::above_stdio(fd);
}

qo_log_sink::Detached qo_log_sink::detach_locked() noexcept
{
    Detached old{log_file.path, log_file.identifier, log_file.fd, 0};
    if (old.fd >= 0)
        old.error = flush_locked();
    log_file.full_since = 0;
    log_file.path = log_file.identifier = nullptr;
    log_file.fd = -1;
    log_file.journal = false;
    log_file.copied = false;
    journal_attached.store(false, std::memory_order_relaxed);
    log_file.loss_reported = false;
    set_level(0);
    return old;
}

void qo_log_sink::release(const Detached &old) noexcept
{
    if (old.fd >= 0)
        close_reporting(old.fd, old.error, old.path);
    free(old.path);
    free(old.identifier);
}

void qo_log_sink::attach_locked(char *path, int fd, int level) noexcept
{
    log_file.path = path;
    log_file.fd = fd;
    learn_signals(fd);
    qo_log_stamps::log_opened_locked();
    set_level(level);
}

void qo_log_sink::attach_journal_locked(char *name, char *identifier, int fd,
                                        int level) noexcept
{
    log_file.identifier = identifier;
    log_file.journal = true;
    journal_attached.store(true, std::memory_order_relaxed);
    attach_locked(name, fd, level);
}

void qo_log_sink::attach_copy_locked(char *name, int fd, int level) noexcept
{
    log_file.copied = true;
    attach_locked(name, fd, level);
}

bool qo_log_sink::journal() noexcept
{
    return journal_attached.load(std::memory_order_relaxed);
}

// What the file would not take by the deadline is lost, and told so.
void qo_log_sink::close_for_exit_locked(int64_t deadline) noexcept
{
    if (log_file.fd < 0)
        return;
    const int error = flush_locked(deadline);
    if (error == timed_out) {
        tell("Unable to print to ", log_file.path);
        log_file.used = log_file.sent = 0;
    }
    close_reporting(log_file.fd, error == timed_out ? 0 : error, log_file.path);
    log_file.fd = -1;
}

// The open happens under the lock, unlike qo_log_open's: the path is the
// sink's, and rotation is for files, which open at once.
bool qo_log_sink::reopen_locked(int64_t deadline) noexcept
{
    // A journal is found again by itself; a descriptor has no path.
    if (log_file.fd < 0 || log_file.journal || log_file.copied)
        return true;
    const int error = flush_locked(deadline);
    if (error == timed_out)
        return false;
    report_locked(error);
    if (log_file.fd < 0)
        return true;
    const int fd = open_file(log_file.path);
    if (fd < 0) {
        tell("Unable to write to ", log_file.path);
        return true;
    }
    close_reporting(log_file.fd, 0, log_file.path);
    log_file.fd = fd;
    log_file.full_since = 0;
    learn_signals(fd);
    return true;
}

bool qo_log_sink::may_write_locked() noexcept
{
    return log_file.fd >= 0 &&
           (!writers_ended || pthread_equal(ending_thread, pthread_self()));
}

const char *qo_log_sink::path_locked() noexcept
{
    return log_file.path;
}

bool qo_log_sink::flush_reporting_locked(int64_t deadline) noexcept
{
    if (log_file.fd < 0)
        return true;
    const int error = flush_locked(deadline);
    report_locked(error);
    return error != timed_out;
}

void qo_log_sink::append_locked(const Record &entry, int64_t deadline) noexcept
{
    if (!put_dropped_locked(deadline) || !put_locked(entry, deadline)) {
        count_dropped();
        return;
    }
    if (entry.level <= flush_level.load(std::memory_order_relaxed))
        flush_reporting_locked(deadline);
}

void qo_log_sink::count_dropped() noexcept
{
    dropped.fetch_add(1);
}

void qo_log_sink::tell_dropped() noexcept
{
    const unsigned long count = dropped.exchange(0);
    if (count) {
        char line[96];
        line[dropped_text(line, count)] = '\0';
        tell(line);
    }
}

void qo_log_sink::end_other_writers_locked() noexcept
{
    ending_thread = pthread_self();
    writers_ended = true;
}

void qo_log_sink::set_flush_level(int level) noexcept
{
    flush_level.store(level, std::memory_order_relaxed);
}
