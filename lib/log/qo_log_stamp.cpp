// The stamps of an entry's header.
//
// Local time comes from localtime_r(), once a second: the text of the
// current second is kept, under the log's lock, and an entry in the same
// second copies it. The time zone is loaded when a time is first asked
// for, outside the lock, so that nothing under the lock allocates.
// The process and thread ids are kept by each thread, and forgotten by a
// fork() child, whose ids are new: gettid() is a system call, too dear for
// every entry.
#include "log/qo_log_stamp_internal.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::atomic<unsigned> asked{0};

// Guarded by the log's lock.
struct Clock {
    int64_t opened_us = 0;             // monotonic, when the log was opened
    int64_t wall_minus_mono_us = 0;    // for the wall time with the uptime
    int64_t offset_second = INT64_MIN; // the wall second it was read in
    time_t second = 0;                 // whose local time is in text
    bool known = false;
    char text[32] = {}; // "2026-12-09 10:42:07"
    size_t size = 0;
};
Clock clock_state;

int64_t read_us(clockid_t clock) noexcept
{
    timespec t{};
    clock_gettime(clock, &t);
    return int64_t{t.tv_sec} * 1000000 + t.tv_nsec / 1000;
}

// At least width digits of value, zeros first.
char *put_padded(char *at, int64_t signed_value, int width) noexcept
{
    auto value = signed_value < 0 ? 0 : signed_value;
    char digits[24];
    char *first = digits + sizeof digits;
    do {
        *--first = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value || digits + sizeof digits - first < width);
    const size_t n = static_cast<size_t>(digits + sizeof digits - first);
    memcpy(at, first, n);
    return at + n;
}

char *put_char(char *at, char c) noexcept
{
    *at = c;
    return at + 1;
}

// "2026-12-09 10:42:07" for second, in local time, from the kept text
// when it is the same second.
char *put_local(char *at, time_t second) noexcept
{
    Clock &c = clock_state;
    if (!c.known || c.second != second) {
        tm local{};
        localtime_r(&second, &local);
        char *t = put_padded(c.text, local.tm_year + 1900, 4);
        t = put_padded(put_char(t, '-'), local.tm_mon + 1, 2);
        t = put_padded(put_char(t, '-'), local.tm_mday, 2);
        t = put_padded(put_char(t, ' '), local.tm_hour, 2);
        t = put_padded(put_char(t, ':'), local.tm_min, 2);
        t = put_padded(put_char(t, ':'), local.tm_sec, 2);
        c.size = static_cast<size_t>(t - c.text);
        c.second = second;
        c.known = true;
    }
    memcpy(at, c.text, c.size);
    return at + c.size;
}

// The wall time from a monotonic reading, so that an entry with both reads
// one clock: the offset between the two is read again each wall second,
// which is when a clock that was set shows.
int64_t wall_from(int64_t mono_us) noexcept
{
    Clock &c = clock_state;
    const int64_t wall_us = mono_us + c.wall_minus_mono_us;
    if (wall_us / 1000000 == c.offset_second)
        return wall_us;
    const int64_t real_us = read_us(CLOCK_REALTIME);
    c.wall_minus_mono_us = real_us - mono_us;
    c.offset_second = real_us / 1000000;
    return real_us;
}

char *put_wall(char *at, int64_t wall_us, bool micro) noexcept
{
    at = put_local(at, static_cast<time_t>(wall_us / 1000000));
    const int64_t fraction = wall_us % 1000000;
    at = put_char(at, '.');
    at = micro ? put_padded(at, fraction, 6) : put_padded(at, fraction / 1000, 3);
    return put_char(at, ' ');
}

char *put_uptime(char *at, int64_t us) noexcept
{
    us = us < 0 ? 0 : us;
    at = put_padded(at, us / 1000000, 1);
    at = put_padded(put_char(at, '.'), us % 1000000, 6);
    return put_char(at, ' ');
}

struct Ids {
    pid_t pid = 0, tid = 0;
};
// In libqo.a, initial-exec, as in qo_str_scan.cpp, and for the same reasons.
#ifdef QO_STATIC_LIBRARY
[[gnu::tls_model("initial-exec")]]
#endif
thread_local Ids ids;

// The child of fork() is the forking thread alone, under new ids.
void forget_ids_in_child() noexcept
{
    ids = Ids{};
}

void watch_forks() noexcept
{
    pthread_atfork(nullptr, nullptr, forget_ids_in_child);
}

pthread_once_t forks_once = PTHREAD_ONCE_INIT;

const Ids &my_ids() noexcept
{
    Ids &mine = ids;
    if (!mine.tid) [[unlikely]] {
        pthread_once(&forks_once, watch_forks);
        mine.pid = getpid();
        mine.tid = static_cast<pid_t>(syscall(SYS_gettid));
    }
    return mine;
}

} // namespace

unsigned qo_log_stamps::flags() noexcept
{
    return asked.load(std::memory_order_relaxed);
}

void qo_log_stamps::set(unsigned what) noexcept
{
    if (what & (QO_LOG_TIME | QO_LOG_TIME_US))
        tzset();
    asked.store(what, std::memory_order_relaxed);
}

size_t qo_log_stamps::when_locked(char *out, unsigned flags) noexcept
{
    const bool wall = flags & (QO_LOG_TIME | QO_LOG_TIME_US);
    const bool up = flags & QO_LOG_UPTIME;
    if (!wall && !up)
        return 0;
    const int64_t mono_us = up ? read_us(CLOCK_MONOTONIC) : 0;
    char *at = out;
    if (wall)
        at = put_wall(at, up ? wall_from(mono_us) : read_us(CLOCK_REALTIME),
                      flags & QO_LOG_TIME_US);
    if (up)
        at = put_uptime(at, mono_us - clock_state.opened_us);
    return static_cast<size_t>(at - out);
}

void qo_log_stamps::log_opened_locked() noexcept
{
    clock_state.opened_us = read_us(CLOCK_MONOTONIC);
}

size_t qo_log_stamps::who(char *out, unsigned flags) noexcept
{
    if (!(flags & who_flags))
        return 0;
    const Ids &mine = my_ids();
    char *at = put_char(out, '[');
    if (flags & QO_LOG_PID)
        at = put_padded(at, mine.pid, 1);
    if (flags & QO_LOG_TID)
        at = put_padded(put_char(at, '/'), mine.tid, 1);
    at = put_char(put_char(at, ']'), ' ');
    return static_cast<size_t>(at - out);
}

pid_t qo_log_stamps::tid() noexcept
{
    return my_ids().tid;
}
