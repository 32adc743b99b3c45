// Descriptors the library opens for itself. A leaf. Internal to the
// library.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace qo_fd {

// A descriptor opened while the caller had 0, 1 or 2 closed may have got
// one of them: moved above them, close-on-exec, so that it cannot be taken
// for standard input or output later (a command's, or a standard error
// reopened for the fatal message). -1 stays -1; a move that fails closes
// fd, returns -1 and leaves errno to say why.
inline int above_stdio(int fd) noexcept
{
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    close(fd);
    errno = error;
    return moved;
}

} // namespace qo_fd
