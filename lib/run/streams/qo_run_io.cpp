// The bytes of a run's pipes: what goes in, what is captured, logged or
// passed on to the caller's descriptors.
#include "run/streams/qo_run_io_internal.h"
#include "base/qo_fd_internal.h"
#include "log/qo_log_internal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qo_run_io {

namespace {

bool open_for_writing(int fd) noexcept
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}

// A pipe, or a terminal other than a pseudo-terminal's master: opened
// again, /dev/ptmx would give a new pseudo-terminal.
bool opens_again(int fd, const struct stat &st) noexcept
{
    unsigned index = 0;
    return S_ISFIFO(st.st_mode) || (isatty(fd) && ioctl(fd, TIOCGPTN, &index) != 0);
}

} // namespace

// A terminal or a pipe, whose reader may stall, gets a file description of
// its own, opened again through /proc without O_NONBLOCK's effect on the
// caller's: the caller's flags are shared with the rest of the program and
// whoever else holds the terminal or the pipe. A socket takes MSG_DONTWAIT
// on the caller's own. A file never waits for a reader and must go on at
// the caller's offset. Without /proc, or with a terminal this user may not
// open (another user's, after su), a write of PIPE_BUF bytes at most once
// poll has found room: whole to a pipe, which can still block a terminal.
void Outlet::choose() noexcept
{
    struct stat st {};
    way_ = Way::fallback;
    if (fstat(fd_, &st) != 0 || !open_for_writing(fd_))
        return; // the write fails as it would have
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
        way_ = Way::file;
    } else if (S_ISSOCK(st.st_mode)) {
        way_ = Way::socket;
    } else if (opens_again(fd_, st)) {
        char path[32];
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd_);
        own_ = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (own_ >= 0)
            way_ = Way::own;
    }
}

ssize_t Outlet::write(const char *bytes, size_t n) noexcept
{
    if (way_ == Way::unknown)
        choose();
    switch (way_) {
    case Way::own:
        return ::write(own_, bytes, n);
    case Way::socket:
        return send(fd_, bytes, n, MSG_DONTWAIT);
    case Way::file:
        return ::write(fd_, bytes, n);
    default:
        return ::write(fd_, bytes, std::min(n, size_t{PIPE_BUF}));
    }
}

// The caller's descriptor gets the bytes as it would have from the command
// itself; one that is closed or has lost its reader loses them. Called when
// poll finds it writable. True when the write raised SIGPIPE.
bool pass_some(Stream &s) noexcept
{
    const ssize_t written = s.outlet.write(s.pending.data() + s.passed, s.backlog());
    if (written < 0 && (errno == EINTR || errno == EAGAIN))
        return false;
    const bool broken = written < 0 && errno == EPIPE;
    s.passed = written < 0 ? s.pending.size() : s.passed + static_cast<size_t>(written);
    if (s.passed == s.pending.size()) {
        s.pending.drop_front(s.passed);
        s.passed = 0;
    }
    return broken;
}

void cut_off(Stream &s) noexcept
{
    s.cut = true;
    s.not_passed += s.backlog();
    s.pending.drop_front(s.pending.size());
    s.passed = 0;
    s.not_teed += s.tee_backlog();
    s.tee_pending.drop_front(s.tee_pending.size());
    s.tee_sent = 0;
}

void drop_backlog(Stream &s, bool deadline, const Site &site) noexcept
{
    cut_off(s);
    const char *why = deadline ? "by the deadline" : "before the stop";
    if (s.not_passed > 0)
        qo_log::entry_until(s.log_until, 5, site, "%s: %zu bytes not passed on %s",
                            s.name, s.not_passed, why);
    if (s.not_teed > 0)
        qo_log::entry_until(s.log_until, 5, site, "%s: %zu bytes not written to %s %s",
                            s.name, s.not_teed, s.tee_name, why);
    s.not_passed = s.not_teed = 0;
}

namespace {

void log_line(const Stream &s, const char *text, size_t n, const Site &site) noexcept
{
    qo_log::entry_until(s.log_until, s.log_level, site, "%s: %.*s", s.name,
                        static_cast<int>(std::min<size_t>(n, INT_MAX)), text);
}

// Logs the complete lines and keeps the unfinished one.
void log_lines(Stream &s, const Site &site) noexcept
{
    const char *start = s.text.data(), *end = start + s.text.size();
    for (const char *nl;
         (nl = static_cast<const char *>(memchr(start, '\n', end - start)));
         start = nl + 1)
        log_line(s, start, nl - start, site);
    s.text.drop_front(start - s.text.data());
}

} // namespace

// The lines read so far go to the callback, and with partial lines the
// text of the unended one too when the pipe had no more (quiet): a
// progress report led by '\r' is seen as it is written. Without a slot,
// the text keeps only the unfinished line, moved to its front.
void hand_lines(Stream &s, size_t before, bool quiet) noexcept
{
    s.line_at += s.lines.feed(s.text.data() + s.line_at, before - s.line_at,
                              s.text.size() - s.line_at);
    if (s.partial && quiet && s.line_at < s.text.size()) {
        s.lines.finish(s.text.data() + s.line_at, s.text.size() - s.line_at);
        s.line_at = s.text.size();
    }
    if (!s.slot) {
        s.text.drop_front(s.line_at);
        s.line_at = 0;
    }
}

// The file takes every byte, in order, as it finds room for them (a FIFO
// whose reader is slow: the callback may see a line before the reader
// does). One that fails (a full disk) takes nothing more, and the run
// fails.
int tee_some(Stream &s) noexcept
{
    const ssize_t written =
        write(s.tee_fd, s.tee_pending.data() + s.tee_sent, s.tee_backlog());
    if (written < 0 && (errno == EINTR || errno == EAGAIN))
        return 0;
    if (written < 0) {
        s.tee_error = errno;
        s.tee_pending.drop_front(s.tee_pending.size());
        s.tee_sent = 0;
        return s.tee_error;
    }
    s.tee_sent += static_cast<size_t>(written);
    s.teed += static_cast<size_t>(written);
    if (s.tee_sent == s.tee_pending.size()) {
        s.tee_pending.drop_front(s.tee_sent);
        s.tee_sent = 0;
    }
    return 0;
}

namespace {

// The file is written 128 KiB at a time, as cat writes it. A larger write
// lets the page cache take a large folio for it, and on a machine whose
// memory is backed lazily (a virtual machine) filling fresh large folios
// cost 4 to 30 times as much per byte here: 1 GiB in 1 MiB writes took
// 0.25 to 8.8 s, in 128 KiB writes 0.20 to 0.25 s.
constexpr size_t file_piece = size_t{128} << 10;

// Bytes just read go to the file at once when nothing waits before them,
// with no copy kept; what it does not take waits in the backlog. A write
// that fails leaves the file behind, as in tee_some.
void to_file(Stream &s, const char *bytes, size_t n, const Site &site) noexcept
{
    size_t written = 0;
    while (s.tee_backlog() == 0 && written < n) {
        const size_t piece = std::min(n - written, file_piece);
        const ssize_t w = write(s.tee_fd, bytes + written, piece);
        if (w < 0 && errno != EINTR && errno != EAGAIN) {
            s.tee_error = errno;
            return;
        }
        written += w < 0 ? 0 : static_cast<size_t>(w);
        s.teed += w < 0 ? 0 : static_cast<size_t>(w);
        if (w < static_cast<ssize_t>(piece))
            break; // the file takes no more for now
    }
    if (written < n)
        s.tee_pending.append(bytes + written, n - written, site);
}

// What a stream no slot takes is kept for the caller's descriptor, and
// every byte for the file, until the deadline; then only counted.
void keep(Stream &s, const char *bytes, size_t n, const Site &site) noexcept
{
    if (s.tee_fd >= 0 && !s.tee_error) {
        if (s.cut)
            s.not_teed += n;
        else
            to_file(s, bytes, n, site);
    }
    if (s.lines.active() || s.slot)
        return;
    if (s.cut)
        s.not_passed += n;
    else
        s.pending.append(bytes, n, site);
}

} // namespace

// One read; false once the pipe is at its end.
bool read_some(Stream &s, const Site &site) noexcept
{
    char *at = s.text.reserve(s.chunk, site);
    const size_t asked = s.text.spare();
    const ssize_t n = read(s.fd, at, asked);
    if (n < 0)
        return errno == EINTR || errno == EAGAIN;
    if (n == 0)
        return false;
    const size_t before = s.text.size();
    s.text.grow(static_cast<size_t>(n));
    keep(s, at, static_cast<size_t>(n), site);
    // A full pipe means a producer that outruns us: a larger one costs both
    // sides fewer wake-ups, which a busy machine makes expensive. Small
    // outputs keep the small pipe.
    if (static_cast<size_t>(n) >= s.chunk && s.chunk < big_read_chunk &&
        fcntl(s.fd, F_SETPIPE_SZ, static_cast<int>(big_read_chunk)) >= 0)
        s.chunk = big_read_chunk;
    if (s.lines.active())
        hand_lines(s, before, static_cast<size_t>(n) < asked);
    else if (!s.slot)
        log_lines(s, site);
    return true;
}

void finish(Stream &s, const Site &site) noexcept
{
    close_fd(s.fd);
    if (s.lines.active()) {
        s.lines.finish(s.text.data() + s.line_at, s.text.size() - s.line_at);
        s.line_at = s.text.size();
        if (!s.slot) {
            s.text.drop_front(s.text.size());
            s.line_at = 0;
        }
    } else if (!s.slot && s.text.size() > 0) {
        log_line(s, s.text.data(), s.text.size(), site);
        s.text.drop_front(s.text.size());
    }
}

namespace {

// The callback's next bytes, once the last ones are written; false at the
// end of the input or a stop.
bool refill(Input &in, const Site &site) noexcept
{
    const ssize_t n =
        in.more(in.context, in.chunk.reserve(input_room, site), input_room);
    if (n < 0)
        *in.stop = true;
    if (n <= 0)
        return false;
    if (static_cast<size_t>(n) > input_room)
        fail(site, "qo_run: on_input returned more than room");
    in.rest = in.chunk.data();
    in.left = static_cast<size_t>(n);
    return true;
}

} // namespace

namespace {

// The caller's pushed bytes: what the pipe takes, the rest kept for the
// next round; the pipe closes once the caller has ended the input and all
// is written, or the command has stopped reading. True on SIGPIPE.
bool write_pushed(Input &in) noexcept
{
    const size_t left = in.chunk.size() - in.sent;
    const ssize_t n = left == 0 ? 0 : write(in.fd, in.chunk.data() + in.sent, left);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return false;
    if (n < 0) {
        in.broken = true;
        close_fd(in.fd);
        return errno == EPIPE;
    }
    in.sent += static_cast<size_t>(n);
    if (in.sent == in.chunk.size()) {
        in.chunk.drop_front(in.sent);
        in.sent = 0;
        if (in.ended)
            close_fd(in.fd);
    }
    return false;
}

} // namespace

// Writes what the pipe takes, and closes it once everything is written or
// the command stops reading. After a stop nothing more is written, and the
// pipe is left open: the command ends by the stop signal, as at a
// deadline, not by the end of its input. True when the write raised
// SIGPIPE.
bool write_some(Input &in, const Site &site) noexcept
{
    if (*in.stop)
        return false;
    if (in.pushed)
        return write_pushed(in);
    if (in.left == 0 && in.more && !refill(in, site)) {
        if (!*in.stop)
            close_fd(in.fd);
        return false;
    }
    const ssize_t n = write(in.fd, in.rest, in.left);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return false;
    const bool broken = n < 0 && errno == EPIPE;
    if (n > 0) {
        in.rest += n;
        in.left -= static_cast<size_t>(n);
    }
    if (n < 0 || (in.left == 0 && !in.more))
        close_fd(in.fd);
    return broken;
}

// A descriptor for the command that a caller with 0-2 closed may have got
// in 0-2 is moved above them, so that placing the command's 0-2 cannot
// overwrite one not yet placed.
using qo_fd::above_stdio;

// 0, or the errno of the failure. Our end does not block; theirs does.
int open_pipe(int &ours, int &theirs, bool command_reads) noexcept
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    ours = fds[command_reads ? 1 : 0];
    theirs = above_stdio(fds[command_reads ? 0 : 1]);
    fcntl(ours, F_SETFL, O_NONBLOCK);
    return theirs < 0 ? errno : 0;
}

int open_between(int &read_end, int &write_end) noexcept
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    read_end = above_stdio(fds[0]);
    const int error = read_end < 0 ? errno : 0;
    write_end = above_stdio(fds[1]);
    return error ? error : write_end < 0 ? errno : 0;
}

int open_file(int &fd, const char *path, int flags) noexcept
{
    fd = above_stdio(open(path, flags | O_CLOEXEC, 0666));
    return fd < 0 ? errno : 0;
}

} // namespace qo_run_io
