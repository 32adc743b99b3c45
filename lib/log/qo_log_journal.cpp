// The journal's native protocol. An entry is a sequence of fields, each
// "NAME=value\n", or, for a value holding a line feed, "NAME\n", the
// value's length as 64 bits little-endian, the value and "\n". The
// entry's parts are gathered with an iovec, not copied: this runs under
// the log's lock, where nothing may allocate.
#include "log/qo_log_journal_internal.h"
#include "base/qo_fd_internal.h"
#include "log/qo_log_stamp_internal.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

const char *qo_log_journal::socket_path = "/run/systemd/journal/socket";

namespace {

using qo_log_journal::Fields;

char *put_int(char *at, long value) noexcept
{
    char digits[24];
    char *first = digits + sizeof digits;
    unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value)
                                        : static_cast<unsigned long>(value);
    do {
        *--first = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0)
        *--first = '-';
    const size_t n = static_cast<size_t>(digits + sizeof digits - first);
    memcpy(at, first, n);
    return at + n;
}

char *put_field(char *at, const char *name, long value) noexcept
{
    while (*name)
        *at++ = *name++;
    at = put_int(at, value);
    *at = '\n';
    return at + 1;
}

// One entry's datagram, as parts that point into the caller's strings.
class Datagram {
  public:
    explicit Datagram(const Fields &fields) noexcept
    {
        size_t size = fields.message_size;
        if (size && fields.message[size - 1] == '\n') // the entry ends there anyway
            size--;
        add("MESSAGE", fields.message, size);
        char *at =
            put_field(numbers_, "PRIORITY=", qo_log_journal::priority(fields.level));
        at = put_field(at, "QO_LEVEL=", fields.level);
        at = put_field(at, "TID=", qo_log_stamps::tid());
        if (fields.site)
            at = put_field(at, "CODE_LINE=", fields.site->line);
        part(numbers_, static_cast<size_t>(at - numbers_));
        if (fields.site) {
            add("CODE_FILE", fields.site->file);
            add("CODE_FUNC", fields.site->routine);
        }
        add("SYSLOG_IDENTIFIER", fields.identifier);
    }
    Datagram(const Datagram &) = delete;
    Datagram &operator=(const Datagram &) = delete;

    const iovec *parts() const noexcept { return parts_; }
    size_t count() const noexcept { return count_; }

  private:
    void part(const void *data, size_t size) noexcept
    {
        parts_[count_++] = {const_cast<void *>(data), size};
    }

    void add(const char *name, const char *value) noexcept
    {
        if (value)
            add(name, value, strlen(value));
    }

    void add(const char *name, const char *value, size_t size) noexcept
    {
        part(name, strlen(name));
        if (memchr(value, '\n', size)) {
            unsigned char *length = lengths_[binary_++];
            for (int i = 0; i < 8; i++)
                length[i] = static_cast<unsigned char>(uint64_t{size} >> (8 * i));
            part("\n", 1);
            part(length, 8);
        } else {
            part("=", 1);
        }
        part(value, size);
        part("\n", 1);
    }

    static constexpr int text_fields = 4;
    iovec parts_[text_fields * 5 + 1] = {};
    size_t count_ = 0;
    unsigned char lengths_[text_fields][8] = {};
    int binary_ = 0;
    char numbers_[128] = {};
};

int connect_to_journal(int fd) noexcept
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t n = strlen(qo_log_journal::socket_path);
    if (n >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(address.sun_path, qo_log_journal::socket_path, n + 1);
    int result = -1;
    do
        result =
            connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    while (result < 0 && errno == EINTR);
    return result;
}

int send_message(int fd, msghdr &message, bool wait) noexcept
{
    const int flags = MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT);
    while (sendmsg(fd, &message, flags) < 0)
        if (errno != EINTR)
            return errno;
    return 0;
}

int send_parts(int fd, const Datagram &datagram, bool wait) noexcept
{
    msghdr message{};
    message.msg_iov = const_cast<iovec *>(datagram.parts());
    message.msg_iovlen = datagram.count();
    return send_message(fd, message, wait);
}

int write_parts(int fd, const Datagram &datagram) noexcept
{
    for (size_t i = 0; i < datagram.count(); i++) {
        const char *at = static_cast<const char *>(datagram.parts()[i].iov_base);
        for (size_t left = datagram.parts()[i].iov_len; left;) {
            const ssize_t n = write(fd, at, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n < 0 ? errno : EIO;
            at += n;
            left -= static_cast<size_t>(n);
        }
    }
    return 0;
}

// An empty datagram that carries the descriptor.
int send_descriptor(int fd, int passed, bool wait) noexcept
{
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(header), &passed, sizeof passed);
    return send_message(fd, message, wait);
}

// The entry written to a memory file, sealed so that the journal may read
// it while this process cannot change it, and passed to the journal.
int send_sealed(int fd, const Datagram &datagram, bool wait) noexcept
{
    const int file = memfd_create("qo-log-entry", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (file < 0)
        return errno;
    int error = write_parts(file, datagram);
    if (!error && fcntl(file, F_ADD_SEALS,
                        F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) < 0)
        error = errno;
    if (!error)
        error = send_descriptor(fd, file, wait);
    close(file);
    return error;
}

} // namespace

int qo_log_journal::connect_socket() noexcept
{
    const int fd = qo_fd::above_stdio(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd < 0 || connect_to_journal(fd) == 0)
        return fd;
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
}

int qo_log_journal::send(int fd, const Fields &fields, bool wait) noexcept
{
    const Datagram datagram(fields);
    int error = send_parts(fd, datagram, wait);
    // The socket of a journal that restarted is a new one at the same path.
    if ((error == ECONNREFUSED || error == ENOTCONN) && connect_to_journal(fd) == 0)
        error = send_parts(fd, datagram, wait);
    if (error == EMSGSIZE || error == ENOBUFS)
        error = send_sealed(fd, datagram, wait);
    return error;
}

int qo_log_journal::priority(int level) noexcept
{
    return level <= 0 ? 6 : level == 1 ? 3 : 7;
}
