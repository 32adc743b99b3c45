// A followed file: the command's output read back from the file it writes.
#include "run/streams/qo_run_follow_internal.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qo_run_follow {

using qo_run_io::big_read_chunk;

namespace {

// What one round reads at most, so that a writer faster than the callback
// cannot keep the run from its deadline or a held job's serve(0) from
// returning.
constexpr size_t round_most = 4 * big_read_chunk;

bool may_follow(int file) noexcept
{
    struct stat st {};
    rlimit limit{};
    return fstat(file, &st) == 0 && S_ISREG(st.st_mode) &&
           !(fcntl(file, F_GETFL) & O_APPEND) && getrlimit(RLIMIT_FSIZE, &limit) == 0 &&
           limit.rlim_cur == RLIM_INFINITY;
}

// Events only say that there may be more: they are dropped unread.
void drain(int watch) noexcept
{
    alignas(inotify_event) char events[4096];
    while (read(watch, events, sizeof events) > 0) {
    }
}

// Reads from the run's offset until a short read (the command's writes
// caught up with) or most bytes; true when caught up.
bool read_on(Stream &s, size_t most, const Site &site) noexcept
{
    for (size_t got = 0; got < most;) {
        char *at = s.text.reserve(big_read_chunk, site);
        const ssize_t n = read(s.follow_fd, at, big_read_chunk);
        if (n < 0 && errno == EINTR)
            continue;
        const size_t read_now = n < 0 ? 0 : static_cast<size_t>(n);
        const size_t before = s.text.size();
        s.text.grow(read_now);
        s.teed += read_now;
        got += read_now;
        const bool caught_up = read_now < big_read_chunk;
        qo_run_io::hand_lines(s, before, caught_up);
        if (caught_up)
            return true;
    }
    return false;
}

} // namespace

// The watch is made through /proc, as the file may have no name the run
// knows (the new file of QO_RUN_REPLACE has its own), and the read end
// opened the same way is a description of its own, with its own offset.
// IN_ACCESS: the run's own reads make the watch readable again, so that a
// round that stops at its limit is followed by another one even when the
// command writes nothing more.
bool follow(Stream &s, int file) noexcept
{
    if (!may_follow(file))
        return false;
    char path[32];
    snprintf(path, sizeof path, "/proc/self/fd/%d", file);
    const int reader = open(path, O_RDONLY | O_CLOEXEC);
    if (reader < 0)
        return false;
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, path, IN_MODIFY | IN_ACCESS) < 0) {
        if (watch >= 0)
            close(watch);
        close(reader);
        return false;
    }
    s.fd = watch;
    s.follow_fd = reader;
    return true;
}

// The events go first: a write that ends after they are drained makes a
// new one, so that no byte waits unseen in the file.
bool follow_some(Stream &s, const Site &site) noexcept
{
    drain(s.fd);
    if (s.cut)
        return false;
    read_on(s, round_most, site);
    return true;
}

// Up to the size the file has now: a process the command left behind that
// goes on writing does not hold the run.
void follow_end(Stream &s, const Site &site) noexcept
{
    struct stat st {};
    if (s.follow_fd < 0 || s.cut || fstat(s.follow_fd, &st) != 0)
        return;
    while (s.teed < static_cast<size_t>(st.st_size) && !read_on(s, round_most, site)) {
    }
}

void unfollow(Stream &s) noexcept
{
    struct stat st {};
    if (s.follow_fd >= 0 && fstat(s.follow_fd, &st) == 0)
        s.teed = static_cast<size_t>(st.st_size);
    qo_run::close_fd(s.follow_fd);
}

} // namespace qo_run_follow
