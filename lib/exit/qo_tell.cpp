// The library's one writer to standard error.
#include "exit/qo_tell_internal.h"
#include "base/qo_sigpipe_internal.h"

#include <cerrno>
#include <cstring>
#include <sys/uio.h>
#include <unistd.h>

void qo_tell::tell(const char *text, const char *more) noexcept
{
    iovec parts[] = {{const_cast<char *>(text), strlen(text)},
                     {const_cast<char *>(more), strlen(more)},
                     {const_cast<char *>("\n"), 1}};
    qo_sigpipe::Blocked guard(true, true);
    while (writev(STDERR_FILENO, parts, 3) < 0) {
        if (errno != EINTR) {
            guard.failed_with(errno);
            return;
        }
    }
}
