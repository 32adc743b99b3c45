// The pipes of a run and the bytes that go through them: the input, the
// captured text, the lines logged and the bytes passed on. Internal to the
// library.
#pragma once

#include "run/base/qo_run_base_internal.h"
#include "run/streams/qo_run_lines_internal.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace qo_run_io {

using qo_run::close_fd;
using qo_run::fail;
using qo_run::Site;

constexpr size_t read_chunk = size_t{64} << 10;    // a new pipe's size
constexpr size_t big_read_chunk = size_t{1} << 20; // the most a user may ask
// Passed-through bytes waiting for the caller's descriptor: past this, the
// command's pipe waits too.
constexpr size_t pass_backlog = size_t{1} << 20;
// What on_input may put in at once: a pipe's worth.
constexpr size_t input_room = size_t{64} << 10;

// Bytes read from a pipe: the captured output, the start of a line still
// waiting for its end, or bytes waiting to be passed on.
class Buffer {
  public:
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() { free(data_); }

    // Room for more bytes after the text, and for its terminator.
    char *reserve(size_t more, const Site &site) noexcept
    {
        if (room_ - size_ < more + 1) {
            const size_t room = std::max({2 * room_, size_ + more + 1, size_t{4096}});
            auto *grown = static_cast<char *>(realloc(data_, room));
            if (!grown)
                fail(site, "Unable to alloc memory in qo_run");
            data_ = grown;
            room_ = room;
        }
        return data_ + size_;
    }
    void append(const char *bytes, size_t n, const Site &site) noexcept
    {
        memcpy(reserve(n, site), bytes, n);
        size_ += n;
    }
    const char *data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    size_t spare() const noexcept { return room_ - size_ - 1; }
    void grow(size_t n) noexcept { size_ += n; }
    void drop_front(size_t n) noexcept
    {
        if (n == 0)
            return; // an empty buffer has no block: memmove takes no NULL
        memmove(data_, data_ + n, size_ - n);
        size_ -= n;
    }
    // The text as a string the caller owns, without the slack reads left
    // (at most an eighth more); the buffer is left empty.
    char *release(const Site &site) noexcept
    {
        reserve(0, site)[0] = '\0';
        const size_t used = size_ + 1;
        if (room_ - used > used / 8)
            trim(used);
        char *text = data_;
        data_ = nullptr;
        size_ = room_ = 0;
        return text;
    }

  private:
    // A block the C library mapped on its own shrinks by whole pages only:
    // a small text moves to a block of its size.
    void trim(size_t used) noexcept
    {
        char *trimmed = nullptr;
        if (used < big_read_chunk / 16) {
            if ((trimmed = static_cast<char *>(malloc(used)))) {
                memcpy(trimmed, data_, used);
                free(data_);
            }
        } else {
            trimmed = static_cast<char *>(realloc(data_, used));
        }
        if (trimmed)
            data_ = trimmed;
    }

    char *data_ = nullptr;
    size_t size_ = 0, room_ = 0;
};

// The caller's descriptor as the run passes bytes on to it: no write
// waits for its reader, and the caller's own descriptor, shared with the
// rest of the program, keeps its flags (blocking, most likely).
class Outlet {
  public:
    explicit Outlet(int fd) noexcept : fd_(fd) {}
    ~Outlet() { close_fd(own_); }
    Outlet(const Outlet &) = delete;
    Outlet &operator=(const Outlet &) = delete;

    // As write(2), of n bytes at most; called when poll finds fd writable.
    ssize_t write(const char *bytes, size_t n) noexcept;

  private:
    enum class Way { unknown, own, socket, file, fallback };
    void choose() noexcept;

    int fd_;
    int own_ = -1; // a file description of the same file, not blocking
    Way way_ = Way::unknown;
};

// One of the command's output streams, when it comes through a pipe or
// a followed file.
struct Stream {
    Stream(const char *name, int passes_to) noexcept : name(name), passes_to(passes_to)
    {
    }

    // Bytes read but not yet written to the caller's descriptor, or to the
    // file.
    size_t backlog() const noexcept { return pending.size() - passed; }
    size_t tee_backlog() const noexcept { return tee_pending.size() - tee_sent; }

    const char *name;      // as the log calls it
    int passes_to;         // the caller's descriptor that uncaptured bytes go to
    int fd = -1;           // our end; -1 when closed or when there is no pipe
    char **slot = nullptr; // receives the text; NULL: passed on and logged
    int log_level = 0;     // for uncaptured lines
    int64_t log_until = 0; // their entries give up then (0: 2 s each)
    size_t chunk = read_chunk;
    Buffer text;
    // The caller's callback, which takes the lines of a stream no slot
    // receives: they are then neither passed on nor logged.
    qo_run_lines::Lines lines;
    size_t line_at = 0;   // in text: the start of the line not yet handed out
    bool partial = false; // the text of an unended line goes out once quiet
    // The file every byte read is also written to (output_file with
    // on_output), not blocking, as poll finds room: how many it took, why
    // it took no more, and what waits for it.
    int tee_fd = -1;
    const char *tee_name = nullptr;
    size_t teed = 0; // followed: the bytes read back
    // A followed file (qo_run_follow): the command writes it, fd watches
    // it, and the run reads it back through this description of its own.
    int follow_fd = -1;
    int tee_error = 0;
    Buffer tee_pending;
    size_t tee_sent = 0; // of tee_pending
    Buffer pending;      // for passes_to, written as poll finds it ready
    size_t passed = 0;   // of pending
    Outlet outlet{passes_to};
    // Past the deadline, bytes are no longer kept for the caller's
    // descriptor nor for the file: counted, with the backlog dropped then.
    bool cut = false;
    size_t not_passed = 0, not_teed = 0;
};

// The caller's descriptor gets uncaptured bytes as it would have from the
// command itself. Called when poll finds it writable; true when the write
// raised SIGPIPE.
bool pass_some(Stream &s) noexcept;
// Writes what the file takes of the backlog; 0, or the errno of a write
// that failed (the file then takes nothing more).
int tee_some(Stream &s) noexcept;
// The deadline has passed: the backlogs are dropped, and nothing more is
// kept for the caller's descriptor nor the file, so that no reader holds
// the run.
void cut_off(Stream &s) noexcept;
// Drops, and logs the count of, the bytes the caller's descriptor or the
// file has not taken when the run is ended (by its deadline, or else
// stopped).
void drop_backlog(Stream &s, bool deadline, const Site &site) noexcept;
// One read; false once the pipe is at its end.
bool read_some(Stream &s, const Site &site) noexcept;
// The lines of the text from line_at on go to the callback; before: the
// end of what an earlier call looked at; quiet: nothing more to read now.
void hand_lines(Stream &s, size_t before, bool quiet) noexcept;
// Closes the pipe and hands out or logs an unfinished last line.
void finish(Stream &s, const Site &site) noexcept;

using InputFn = ssize_t (*)(void *context, char *buffer, size_t room);

struct Input {
    explicit Input(bool *stop) noexcept : stop(stop) {}

    // Whether a write would have something to write (or to end).
    bool has_more() const noexcept { return !pushed || sent < chunk.size() || ended; }

    int fd = -1;
    const char *rest = nullptr; // what is left to write
    size_t left = 0;
    // The caller's callback, which refills rest from chunk once it is all
    // written; -1 from it raises the stop flag, which ends the writes.
    InputFn more = nullptr;
    void *context = nullptr;
    bool *stop;
    Buffer chunk;
    // Pushed by the caller (qo_job_write()): chunk holds what the pipe has
    // not taken yet, from sent on; ended once the caller ends the input,
    // broken once the command has closed its stdin.
    bool pushed = false, ended = false, broken = false;
    size_t sent = 0;
};

// Writes what the pipe takes, first asking the callback for more when
// nothing is left. True when the write raised SIGPIPE.
bool write_some(Input &in, const Site &site) noexcept;

// 0, or the errno of the failure. Our end does not block; theirs does.
int open_pipe(int &ours, int &theirs, bool command_reads) noexcept;
// A pipe from one stage to the next: both ends block, neither is ours.
int open_between(int &read_end, int &write_end) noexcept;
int open_file(int &fd, const char *path, int flags) noexcept;

} // namespace qo_run_io
