// A journal record read back as the journal reads it: every field named
// as the protocol allows, framed as its value needs, and carrying the value
// it was given; a record too large for a datagram comes as a sealed memory
// file holding the same bytes.
#include "check.h"
#include "log/qo_log_journal_internal.h"
#include "log/qo_log_stamp_internal.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Record = std::multimap<std::string, std::string>;

bool valid_name(const std::string &name)
{
    if (name.empty() || name.size() > 64 || name[0] == '_' ||
        (name[0] >= '0' && name[0] <= '9'))
        return false;
    for (char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    return true;
}

// "NAME=value\n" for a value without a line feed, else "NAME\n", its
// length (64 bits, little-endian), the value and "\n".
Record parse(const std::string &datagram)
{
    Record record;
    for (size_t at = 0; at < datagram.size();) {
        const size_t end = datagram.find_first_of("=\n", at);
        FUZZ_CHECK(end != std::string::npos);
        const std::string name = datagram.substr(at, end - at);
        FUZZ_CHECK(valid_name(name));
        std::string value;
        if (datagram[end] == '=') {
            const size_t line_feed = datagram.find('\n', end + 1);
            FUZZ_CHECK(line_feed != std::string::npos);
            value = datagram.substr(end + 1, line_feed - end - 1);
            at = line_feed + 1;
        } else {
            FUZZ_CHECK(datagram.size() - end - 1 >= 8);
            uint64_t size = 0;
            for (int i = 0; i < 8; i++)
                size |= uint64_t{static_cast<unsigned char>(datagram[end + 1 + i])}
                        << (8 * i);
            const size_t from = end + 9;
            FUZZ_CHECK(size < datagram.size() && datagram.size() - from > size);
            value = datagram.substr(from, size);
            FUZZ_CHECK(datagram[from + size] == '\n');
            at = from + size + 1;
        }
        record.emplace(name, value);
    }
    return record;
}

// What one datagram brought: its bytes, or those of the sealed file it
// carried, which must be sealed against every change.
std::string receive(int fd, std::string &buffer)
{
    iovec part{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    FUZZ_CHECK(n >= 0 && !(message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)));
    const cmsghdr *header = CMSG_FIRSTHDR(&message);
    if (!header)
        return buffer.substr(0, static_cast<size_t>(n));
    FUZZ_CHECK(n == 0 && header->cmsg_type == SCM_RIGHTS);
    int file;
    memcpy(&file, CMSG_DATA(header), sizeof file);
    constexpr int all = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;
    FUZZ_CHECK(fcntl(file, F_GET_SEALS) == all);
    struct stat about {};
    FUZZ_CHECK(fstat(file, &about) == 0);
    std::string bytes(static_cast<size_t>(about.st_size), '\0');
    FUZZ_CHECK(pread(file, bytes.data(), bytes.size(), 0) == about.st_size);
    close(file);
    return bytes;
}

int syslog_priority(int level)
{
    return level <= 0 ? 6 : level == 1 ? 3 : 7;
}

struct Sockets {
    int ours = -1, theirs = -1;
    Sockets()
    {
        int pair[2];
        FUZZ_CHECK(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) == 0);
        ours = pair[0];
        theirs = pair[1];
    }
    ~Sockets()
    {
        close(ours);
        close(theirs);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fuzz(data, size);
    const int level = fuzz.ConsumeIntegral<int>();
    const bool small_buffer = fuzz.ConsumeBool(); // most records go sealed
    const bool has_site = fuzz.ConsumeBool(), has_identifier = fuzz.ConsumeBool();
    const int line = fuzz.ConsumeIntegral<int>();
    const std::string file = fuzz.ConsumeRandomLengthString(64).c_str();
    const std::string routine = fuzz.ConsumeRandomLengthString(64).c_str();
    const std::string identifier = fuzz.ConsumeRandomLengthString(64).c_str();
    const bool null_file = fuzz.ConsumeBool(), null_routine = fuzz.ConsumeBool();
    std::string message = fuzz.ConsumeRandomLengthString(512);
    if (fuzz.ConsumeBool()) // beyond a datagram of the default size
        message.append(fuzz.ConsumeIntegralInRange<size_t>(0, 300000), 'm');
    message += fuzz.ConsumeRemainingBytesAsString();

    static Sockets sockets;
    const int buffer_size = small_buffer ? 1 : 212992;
    setsockopt(sockets.ours, SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);

    const qo_err::Site site{line, null_file ? nullptr : file.c_str(),
                            null_routine ? nullptr : routine.c_str()};
    const qo_log_journal::Fields fields{message.data(), message.size(), level,
                                        has_site ? &site : nullptr,
                                        has_identifier ? identifier.c_str() : nullptr};
    FUZZ_CHECK(qo_log_journal::send(sockets.ours, fields, true) == 0);
    static std::string buffer(1 << 20, '\0');
    const Record got = parse(receive(sockets.theirs, buffer));

    Record expected;
    std::string shown = message;
    if (!shown.empty() && shown.back() == '\n')
        shown.pop_back();
    expected.emplace("MESSAGE", shown);
    expected.emplace("PRIORITY", std::to_string(syslog_priority(level)));
    expected.emplace("QO_LEVEL", std::to_string(level));
    expected.emplace("TID", std::to_string(qo_log_stamps::tid()));
    if (has_site) {
        expected.emplace("CODE_LINE", std::to_string(line));
        if (!null_file)
            expected.emplace("CODE_FILE", file);
        if (!null_routine)
            expected.emplace("CODE_FUNC", routine);
    }
    if (has_identifier)
        expected.emplace("SYSLOG_IDENTIFIER", identifier);
    FUZZ_CHECK(got == expected);
    return 0;
}
