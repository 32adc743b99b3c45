// The systemd journal as the log's sink: its native protocol, one datagram
// per entry on a Unix socket, with no library of its own. Internal to the
// log: qo_log_sink.cpp sends the entries, under the log's lock.
#pragma once

#include "exit/qo_err_internal.h"

#include <cstddef>

namespace qo_log_journal {

// Where journald listens. A variable so that the tests can point the log
// at a socket of their own; nothing outside the library sees it.
extern const char *socket_path;

// A datagram socket connected to the journal, close-on-exec, above the
// standard descriptors; -1 with errno (ENOENT: no journal, ECONNREFUSED:
// nobody listens) when there is none.
int connect_socket() noexcept;

// One entry's fields. A NULL site, file, routine or identifier leaves its
// fields out.
struct Fields {
    const char *message;
    size_t message_size;
    int level;
    const qo_err::Site *site;
    const char *identifier;
};

// Sends one entry: 0, or the errno of the failure, EAGAIN included when
// wait is false and the journal's queue is full. A journal that restarted
// is connected to again; an entry too large for a datagram goes as a
// sealed memory file.
int send(int fd, const Fields &fields, bool wait) noexcept;

// The syslog priority of a log level: 6 (info) for <= 0, 3 (err) for 1,
// the failures that end the process, 7 (debug) above.
int priority(int level) noexcept;

} // namespace qo_log_journal
