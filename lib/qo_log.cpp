// The process-wide debug log. Its troubles go to standard error and it
// never ends the process: a log that cannot be set up simply stays off.
//
// An entry is built whole on the caller's stack (the heap when long),
// outside any lock, then copied into the log's own buffer under log_mutex;
// the buffer goes to the file with write(2) when full, at close, before a
// fork, at exit and before a command runs. Owning the buffer rather than
// leaving it to stdio is what lets the log retry interrupted writes,
// survive a reader that has gone, hand a child an empty buffer and flush
// at exit under its own lock. The level is read without the lock: a
// filtered-out call costs a load and a compare.
#include "qo.h"
#include "qo_log_internal.h"
#include "qo_sigpipe_internal.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

constexpr size_t buffer_size = 8192;
constexpr size_t short_entry = 1024; // built on the stack up to this size

// Guarded by log_mutex. Nothing done under the lock allocates or frees, so
// a signal handler that interrupted the holder may still flush.
struct LogFile {
    char *path = nullptr; // heap copy of the path given to qo_log_open
    int fd = -1;
    bool may_raise_sigpipe = false; // a FIFO or a socket
    bool loss_reported = false;     // since the last write that worked
    size_t used = 0;                // bytes of whole entries in the buffer
    size_t sent = 0;                // of which already written
    char buffer[buffer_size] = {};
};

// A pthread mutex rather than std::mutex, whose failure path lives in the
// C++ runtime: C programs link the library without it.
pthread_mutex_t log_mutex = PTHREAD_MUTEX_INITIALIZER;
// So that a signal handler that interrupted the holder does not wait for
// itself.
std::atomic<pthread_t> lock_holder{};
LogFile log_file;
std::atomic<int> log_level{0};
std::atomic<int> flush_level{INT_MIN};
pthread_once_t handlers_once = PTHREAD_ONCE_INIT;
// Guarded by log_mutex. Set at the very end of exit(): from then on only
// the thread that is ending the process writes. Another thread's write in
// flight when the process ends can be cut short by the kernel at a page
// boundary, which would leave a torn last entry.
bool writers_ended = false;
pthread_t ending_thread{};

void lock() noexcept
{
    pthread_mutex_lock(&log_mutex);
    lock_holder.store(pthread_self(), std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

void unlock() noexcept
{
    std::atomic_signal_fence(std::memory_order_seq_cst);
    lock_holder.store(pthread_t{}, std::memory_order_relaxed);
    pthread_mutex_unlock(&log_mutex);
}

enum class ExitHold { locked, held_here, stuck };

// The process is ending. A signal handler that interrupted an entry of this
// thread goes on without taking the lock it already holds; a holder stuck
// in a write (a reader that stopped reading) is waited for a while only,
// then the log is left to it, so that the process still ends.
ExitHold hold_for_exit() noexcept
{
    constexpr time_t stuck_after = 2;            // seconds
    static std::atomic<bool> found_stuck{false}; // waited for once is enough
    if (pthread_equal(lock_holder.load(std::memory_order_relaxed), pthread_self()))
        return ExitHold::held_here;
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += stuck_after;
    if (found_stuck.load(std::memory_order_relaxed) ||
        pthread_mutex_timedlock(&log_mutex, &deadline) != 0) {
        found_stuck.store(true, std::memory_order_relaxed);
        return ExitHold::stuck;
    }
    lock_holder.store(pthread_self(), std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return ExitHold::locked;
}

// One line on standard error. write(2) rather than stdio, whose own lock
// may be held by the code a signal handler or a fork interrupted.
void tell(const char *text, const char *path = "") noexcept
{
    iovec parts[] = {{const_cast<char *>(text), strlen(text)},
                     {const_cast<char *>(path), strlen(path)},
                     {const_cast<char *>("\n"), 1}};
    while (writev(STDERR_FILENO, parts, 3) < 0 && errno == EINTR) {
    }
}

// Writes data from done up to size, retrying interrupted and partial
// writes; done follows what is out. Returns 0, or the errno of the write
// that failed.
int write_out(const char *data, size_t size, size_t &done) noexcept
{
    qo_sigpipe::Blocked guard(log_file.may_raise_sigpipe);
    while (done < size) {
        const ssize_t n = write(log_file.fd, data + done, size - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno == EINTR)
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
int flush_locked() noexcept
{
    const int error = write_out(log_file.buffer, log_file.used, log_file.sent);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    log_file.used = log_file.sent = 0;
    return error;
}

// Losses are told once until a write works again. A reader that has gone
// does not come back, so that log is turned off; its path is released at
// the next open or close, not here, under the lock.
void report_locked(int error) noexcept
{
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
        log_level.store(0, std::memory_order_relaxed);
    }
}

void flush_reporting_locked() noexcept
{
    if (log_file.fd >= 0)
        report_locked(flush_locked());
}

void append_locked(const char *entry, size_t size, int level) noexcept
{
    if (size > buffer_size - log_file.used) {
        flush_reporting_locked();
        if (log_file.fd < 0)
            return;
    }
    if (size > buffer_size) {
        size_t done = 0;
        report_locked(write_out(entry, size, done));
    } else {
        memcpy(log_file.buffer + log_file.used, entry, size);
        // A signal handler that flushes sees the entry whole or not at all.
        std::atomic_signal_fence(std::memory_order_seq_cst);
        log_file.used += size;
    }
    if (level <= flush_level.load(std::memory_order_relaxed))
        flush_reporting_locked();
}

void close_reporting(int fd, int error, const char *path) noexcept
{
    if (close(fd) != 0 && !error)
        error = errno;
    if (error)
        tell("Unable to close ", path);
}

// What a log held when it was closed or replaced, closed outside the lock.
struct Detached {
    char *path;
    int fd, error;
};

Detached detach_locked() noexcept
{
    Detached old{log_file.path, log_file.fd, 0};
    if (old.fd >= 0)
        old.error = flush_locked();
    log_file.path = nullptr;
    log_file.fd = -1;
    log_file.loss_reported = false;
    log_level.store(0, std::memory_order_relaxed);
    return old;
}

void release(const Detached &old) noexcept
{
    if (old.fd >= 0)
        close_reporting(old.fd, old.error, old.path);
    free(old.path);
}

// Appending, as an existing log is history worth keeping. Close-on-exec
// keeps the file out of the commands run through the shell; a standard
// descriptor is never taken, or the fatal message meant for a closed
// standard error, reopened later, would land in the log.
int open_log_file(const char *path) noexcept
{
    int fd = -1;
    do
        fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd >= 0 && fd <= STDERR_FILENO) {
        const int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close(fd);
        fd = high;
    }
    return fd;
}

bool may_raise_sigpipe(int fd) noexcept
{
    struct stat about {};
    return fstat(fd, &about) == 0 &&
           (S_ISFIFO(about.st_mode) || S_ISSOCK(about.st_mode));
}

// A child gets an empty buffer and a free lock: what was buffered is
// written once, by the parent, before the fork.
void flush_before_fork() noexcept
{
    lock();
    flush_reporting_locked();
}

void unlock_after_fork() noexcept
{
    unlock();
}

void flush_at_exit() noexcept
{
    // Threads still logging while the process ends write straight through:
    // their entries arrive whole or not at all.
    flush_level.store(INT_MAX, std::memory_order_relaxed);
    const ExitHold hold = hold_for_exit();
    if (hold != ExitHold::stuck)
        flush_reporting_locked();
    if (hold == ExitHold::locked)
        unlock();
}

// A destructor runs after every atexit handler and static destructor, so
// threads that log while those run (a pool joined by a destructor) still
// have their entries kept up to here.
[[gnu::destructor]] void end_other_writers() noexcept
{
    const ExitHold hold = hold_for_exit();
    if (hold == ExitHold::stuck)
        return;
    flush_reporting_locked();
    ending_thread = pthread_self();
    writers_ended = true;
    if (hold == ExitHold::locked)
        unlock();
}

bool may_write_locked() noexcept
{
    return log_file.fd >= 0 &&
           (!writers_ended || pthread_equal(ending_thread, pthread_self()));
}

void register_handlers() noexcept
{
    pthread_atfork(flush_before_fork, unlock_after_fork, unlock_after_fork);
    atexit(flush_at_exit);
}

char *put(char *at, const char *text, size_t size) noexcept
{
    memcpy(at, text, size);
    return at + size;
}

char *put_int(char *at, int value) noexcept
{
    char digits[12];
    char *first = digits + sizeof digits;
    unsigned magnitude = value < 0 ? 0U - static_cast<unsigned>(value) : value;
    do {
        *--first = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0)
        *--first = '-';
    return put(at, first, static_cast<size_t>(digits + sizeof digits - first));
}

// The conversions most messages use (%s, %d, %%), written by hand into
// room bytes at out: vsnprintf costs more than the rest of an entry. False
// at any other conversion, or when the room runs out, and vsnprintf then
// does it all again from the start.
[[gnu::format(printf, 3, 0)]] bool format_simple(char *out, size_t room,
                                                 const char *format, va_list ap,
                                                 size_t &size) noexcept
{
    char *at = out;
    const char *const end = out + room;
    for (const char *f = format; *f; f++) {
        const char *literal = strchrnul(f, '%');
        if (literal != f) {
            if (static_cast<size_t>(literal - f) > static_cast<size_t>(end - at))
                return false;
            at = put(at, f, static_cast<size_t>(literal - f));
            f = literal;
            if (!*f)
                break;
        }
        char digits[12];
        const char *text = digits;
        size_t n = 0;
        switch (*++f) {
        case 's':
            text = va_arg(ap, const char *);
            text = text ? text : "(null)";
            n = strlen(text);
            break;
        case 'd':
            n = static_cast<size_t>(put_int(digits, va_arg(ap, int)) - digits);
            break;
        case '%':
            text = "%";
            n = 1;
            break;
        default:
            return false;
        }
        if (n > static_cast<size_t>(end - at))
            return false;
        at = put(at, text, n);
    }
    size = static_cast<size_t>(at - out);
    return true;
}

// "INFO: ", or "DBG<level>: <file>-><routine>#<line>: ".
class Header {
  public:
    Header(int level, int line, const char *file, const char *routine) noexcept
        : level_(level), line_(line)
    {
        if (level_ <= 0)
            return;
        file_ = file ? file : "(null)";
        routine_ = routine ? routine : "(null)";
        file_size_ = strlen(file_);
        routine_size_ = strlen(routine_);
    }

    size_t max_size() const noexcept
    {
        constexpr size_t int_digits = 11;
        return level_ <= 0 ? 6
                           : 3 + int_digits + 2 + file_size_ + 2 + routine_size_ + 1 +
                                 int_digits + 2;
    }

    size_t write(char *start) const noexcept
    {
        if (level_ <= 0)
            return static_cast<size_t>(put(start, "INFO: ", 6) - start);
        char *at = put_int(put(start, "DBG", 3), level_);
        at = put(put(at, ": ", 2), file_, file_size_);
        at = put(put(at, "->", 2), routine_, routine_size_);
        at = put(put_int(put(at, "#", 1), line_), ": ", 2);
        return static_cast<size_t>(at - start);
    }

  private:
    int level_, line_;
    const char *file_ = nullptr, *routine_ = nullptr;
    size_t file_size_ = 0, routine_size_ = 0;
};

// One entry, line feed included, built on the stack when it is short.
class Entry {
  public:
    // Left uncleared: an entry costs less than clearing the buffer would.
    // cppcheck-suppress uninitMemberVar
    Entry() noexcept = default;
    ~Entry() { release(); }
    Entry(const Entry &) = delete;
    Entry &operator=(const Entry &) = delete;

    // False when memory for a long entry ran out.
    [[gnu::format(printf, 3, 0)]] bool build(const Header &header, const char *format,
                                             va_list ap) noexcept
    {
        size_t room = sizeof stack_;
        if (header.max_size() >= room) {
            room = header.max_size() + 1;
            if (!move_to(static_cast<char *>(malloc(room)), 0))
                return false;
        }
        const size_t head = header.write(data_);
        size_t message = 0;
        va_list copy;
        va_copy(copy, ap);
        const bool simple =
            format_simple(data_ + head, room - head - 1, format, copy, message);
        va_end(copy);
        if (!simple && !format_any(head, room, format, ap, message))
            return false;
        data_[head + message] = '\n';
        size_ = head + message + 1;
        return true;
    }

    const char *data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    // False when the message could not be formatted; the entry then
    // holds the header alone.
    bool printed() const noexcept { return printed_; }

  private:
    // vsnprintf after the header, moving to the heap when the entry
    // outgrows the room it has.
    [[gnu::format(printf, 4, 0)]] bool format_any(size_t head, size_t room,
                                                  const char *format, va_list ap,
                                                  size_t &message) noexcept
    {
        va_list again;
        va_copy(again, ap);
        const int n = vsnprintf(data_ + head, room - head, format, ap);
        printed_ = n >= 0;
        message = printed_ ? static_cast<size_t>(n) : 0;
        bool built = true;
        if (head + message >= room) {
            built = move_to(static_cast<char *>(malloc(head + message + 1)), head);
            if (built)
                vsnprintf(data_ + head, message + 1, format, again);
        }
        va_end(again);
        return built;
    }

    bool move_to(char *heap, size_t keep) noexcept
    {
        if (!heap)
            return false;
        memcpy(heap, data_, keep);
        release();
        data_ = heap;
        return true;
    }

    void release() noexcept
    {
        if (data_ != stack_)
            free(data_);
    }

    char stack_[short_entry];
    char *data_ = stack_;
    size_t size_ = 0;
    bool printed_ = true;
};

// Kept out of line so that a filtered-out call returns before paying
// for this body's registers and stack.
[[gnu::noinline, gnu::format(printf, 5, 0)]] void
write_entry(int level, int line, const char *file, const char *routine,
            const char *format, va_list ap) noexcept
{
    Entry entry;
    const bool built = entry.build(Header(level, line, file, routine), format, ap);
    lock();
    if (may_write_locked()) {
        if (!built || !entry.printed())
            tell("Unable to print to ", log_file.path);
        if (built)
            append_locked(entry.data(), entry.size(), level);
    }
    unlock();
}

} // namespace

void qo_log_internal::flush() noexcept
{
    lock();
    flush_reporting_locked();
    unlock();
}

void qo_log_internal::close_at_exit() noexcept
{
    log_level.store(0, std::memory_order_relaxed);
    const ExitHold hold = hold_for_exit();
    if (hold != ExitHold::stuck && log_file.fd >= 0) {
        close_reporting(log_file.fd, flush_locked(), log_file.path);
        log_file.fd = -1;
    }
    if (hold == ExitHold::locked)
        unlock();
}

void qo_log_internal::release_if_held_here() noexcept
{
    if (pthread_equal(lock_holder.load(std::memory_order_relaxed), pthread_self()))
        unlock();
}

// The file is opened before the lock is taken, so that a slow open (a FIFO
// nobody reads yet) stalls only the caller; the lock only swaps the files.
extern "C" void qo_log_open(const char *path, int level) noexcept
{
    pthread_once(&handlers_once, register_handlers);
    char *copy = path ? strdup(path) : nullptr;
    const int fd = copy ? open_log_file(copy) : -1;
    lock();
    const Detached old = detach_locked();
    if (fd >= 0) {
        log_file.path = copy;
        log_file.fd = fd;
        log_file.may_raise_sigpipe = may_raise_sigpipe(fd);
        log_level.store(level, std::memory_order_relaxed);
    }
    unlock();
    release(old);
    if (fd >= 0)
        return;
    if (path && !copy)
        tell("Unable to alloc memory");
    else
        tell("Unable to write to ", path ? path : "(null)");
    tell("Logging desactivated");
    free(copy);
}

extern "C" void qo_log_close(void) noexcept
{
    lock();
    const Detached old = detach_locked();
    unlock();
    release(old);
}

extern "C" void qo_log_set_level(int level) noexcept
{
    log_level.store(level, std::memory_order_relaxed);
}

extern "C" void qo_log_flush_on(int level) noexcept
{
    flush_level.store(level, std::memory_order_relaxed);
}

extern "C" void qo_log_int(int level, int line, const char *file, const char *routine,
                           const char *format, ...) noexcept
{
    if (level > log_level.load(std::memory_order_relaxed) || !format)
        return;
    va_list ap;
    va_start(ap, format);
    write_entry(level, line, file, routine, format, ap);
    va_end(ap);
}
