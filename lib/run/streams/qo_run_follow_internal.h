// The file a command writes itself, read back as it grows for on_output's
// lines: each byte then crosses the run once, out of the page cache,
// instead of twice (out of a pipe, then into the file). Internal to the
// library.
#pragma once

#include "run/streams/qo_run_io_internal.h"

namespace qo_run_follow {

using qo_run::Site;
using qo_run_io::Stream;

// Sets s to follow the file the command writes through file (the
// command's own descriptor): s.fd becomes an inotify descriptor that is
// readable when the file has more, s.follow_fd the run's own description
// of the file. False, with s untouched, where the run must write the file
// itself: not a regular file, appended to (another writer's bytes would
// reach the callback), under a file size limit (the run keeps SIGXFSZ from
// the caller and fails with the file's error instead), or a file the run
// may not read back or watch.
bool follow(Stream &s, int file) noexcept;
// The file's new bytes, handed out as lines, once s.fd is readable; false
// once past the deadline, when nothing more is read.
bool follow_some(Stream &s, const Site &site) noexcept;
// The command has ended: what it wrote since the last look is read once
// more. A process it left behind may write more; that is not waited for.
void follow_end(Stream &s, const Site &site) noexcept;
// s.teed takes the file's size, what the command wrote, read or not; the
// descriptors close.
void unfollow(Stream &s) noexcept;

} // namespace qo_run_follow
